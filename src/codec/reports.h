// Body decoders, one per layout of what the scanner sends. The measurement reports' are here; the
// decoder's table names them beside the replies' own.
#pragma once

#include "codec/bytes.h"
#include "codec/codec.h"

namespace scanlink::codec {

void value_list_report(Reader& in, CCmdManage& record, const DecodeEnv& env);
void td_value_list_report(Reader& in, CCmdManage& record, const DecodeEnv& env);
void short_value_list_report(Reader& in, CCmdManage& record, const DecodeEnv& env);
void cell_record_report(Reader& in, CCmdManage& record, const DecodeEnv& env);
void sweep_report(Reader& in, CCmdManage& record, const DecodeEnv& env);
void td_cell_report(Reader& in, CCmdManage& record, const DecodeEnv& env);
void td_profile_report(Reader& in, CCmdManage& record, const DecodeEnv& env);
void td_short_profile_report(Reader& in, CCmdManage& record, const DecodeEnv& env);

}  // namespace scanlink::codec
