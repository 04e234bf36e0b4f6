// Creations of threads, events and sockets refused on demand, as the system refuses them when a
// limit is reached: lets tests drive every failure path of a bring-up. Disarmed, each creation
// costs one relaxed load.
#pragma once

namespace scanlink::platform {

enum class Resource { kThread, kEvent, kSocket };

// After `skip` more creations of that kind have succeeded, the next `count` are refused.
// count 0 disarms it.
void RefuseCreations(Resource what, int skip, int count);
// Asked by each creation before it calls the system: true when this one is to fail.
bool CreationRefused(Resource what);

}  // namespace scanlink::platform
