// scanlink: the one export macro of the shared library.
#ifndef SCANLINK_EXPORT_H
#define SCANLINK_EXPORT_H

#if defined(_WIN32)
#if defined(SCANLINK_BUILDING)
#define SCANLINK_API __declspec(dllexport)
#else
#define SCANLINK_API __declspec(dllimport)
#endif
#else
#define SCANLINK_API __attribute__((visibility("default")))
#endif

#endif
