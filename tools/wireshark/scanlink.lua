-- Wireshark dissector for the scanner's data link (commands, replies, reports) and its alarm link.
--
-- Load it with `wireshark -X lua_script:scanlink.lua` or copy it into the personal Lua plugins
-- folder. The data port is a preference (default 5000) and the protocol is offered in "Decode As";
-- the alarm link is fixed to port 8050 and carries raw bytes. Recordings made by `scanlink monitor
-- --record` (pcapng, link type USER0) open directly: each packet is a 4-byte pseudo-header
-- (version 1, direction, channel, connection modulo 256) and one unit, a frame or a run of
-- skipped bytes; direction 2 is an event (a connection begins or ends, the link is lost or
-- restored): its kind in one byte, then a note. Units never span two connections.
--
-- Every frame on the data link is an 8-byte header (sync 0x55, module id, code, transaction id,
-- payload length; big-endian) and its payload. The payload layout is chosen by the code, by the
-- direction (to the scanner: a command; from it: a reply, or a report when the transaction id is
-- 0xFFFF) and, for scan modes, by the mode byte. Layouts are tables below; one walker reads them.

local SYNC = 0x55
local HEADER = 8
local MAX_PAYLOAD = 2048 -- the receiver takes frames of at most 2056 bytes
local UNSOLICITED = 0xFFFF
local DEFAULT_DATA_PORT = 5000
local ALARM_PORT = 8050

local MAX_TRANS = 1023 -- requests and their replies carry 1..1023

local proto = Proto("scanlink", "Scanner data link")
local alarm_proto = Proto("scanlink_alarm", "Scanner alarm link")
local rec_proto = Proto("scanlink_rec", "scanlink recording")

---------------------------------------------------------------------------------------------------
-- Names

local CODE_NAMES = {
  -- The library's message-code table (src/codec/message_codes.h); a test holds the two together,
  -- and the layout tables below against the rows' kinds and layouts.
  -- commands
  [1] = "SetWScanMode", [4] = "StartScan", [7] = "StopScan", [10] = "GetScanMode",
  [18] = "ResetScanner", [20] = "GetVersion", [22] = "Command22", [43] = "Login",
  [46] = "ChangePassword", [81] = "SetIPAddress", [84] = "SetMACAddress", [87] = "SetSignedValue",
  [97] = "SetTwoValues", [113] = "Command113", [0xF001] = "SetTDScanMode",
  [0xF004] = "StartTDScan", [0xF007] = "StopTDScan", [0xF00A] = "GetTDScanMode",
  [0xF012] = "ResetTDScanner", [0xF014] = "GetTDVersion", [0xF030] = "QueryBattery",
  [0xF040] = "SetGpsInfoFormat",
  -- replies and results
  [3] = "SetWScanModeResult", [5] = "StartScanReply", [6] = "StartScanResult",
  [9] = "StopScanResult", [11] = "ScanModeReply", [12] = "GetScanModeResult",
  [21] = "VersionReply", [23] = "Command22Reply", [24] = "Command22Result", [25] = "OneValueReply",
  [44] = "FamilyReply", [51] = "ThreeValueReply", [89] = "SetSignedValueResult",
  [99] = "SetTwoValuesResult", [0xF003] = "SetTDScanModeResult", [0xF006] = "StartTDScanResult",
  [0xF009] = "StopTDScanResult", [0xF00B] = "TDScanModeReply", [0xF00C] = "GetTDScanModeResult",
  [0xF015] = "TDVersionReply", [0xF02A] = "GpsTextReply", [0xF02B] = "GpsTextResult",
  [0xF031] = "BatteryReply", [0xF032] = "QueryBatteryResult", [0xF042] = "SetGpsInfoFormatResult",
  -- reports (transaction id 0xFFFF)
  [36] = "ValueListReport", [37] = "StatusReport", [38] = "ShortValueListReport",
  [40] = "CellRecordReport", [41] = "CellRecordReport", [73] = "SweepReport",
  [257] = "CellRecordReport", [259] = "CellRecordReport", [0xF025] = "TDCellReport",
  [0xF026] = "TDSweepReport", [0xF027] = "TDValueListReport", [0xF028] = "TDStatusReport",
  [0xF100] = "TDProfileReport", [0xF102] = "TDShortProfileReport",
  -- the library's own link status notice
  [0xFFEE] = "LinkStatusNotice",
}

local W_MODE_NAMES = { [7] = "cell list", [8] = "frequency list" }
local TD_MODE_NAMES = {
  [1] = "cell list", [2] = "cell search", [3] = "SA scan", [4] = "frequency list",
  [5] = "CW scan", [6] = "channel scan (DPCH, HSDPA, HSUPA, MBMS)", [8] = "mode 8",
}
local FAMILY_NAMES = {
  [11] = "WCDMA scanner", [12] = "WCDMA scanner", [21] = "TD-SCDMA scanner",
  [22] = "TD-SCDMA scanner",
}
local LINK_STATUS_NAMES = { [1] = "link lost", [2] = "link restored", [3] = "reconnection failed" }
local GPS_MODE_NAMES = { [1] = "delays checked against the base-station list" }

---------------------------------------------------------------------------------------------------
-- Layout tables. A layout is a group name (the middle part of its field names) and its fields in
-- payload order. Field kinds: u8, u16, u32, i16, bytes (n), text (n, NUL-padded), skip (n, not
-- read by the receiver), list (count taken from an earlier field), array (fixed count), rest
-- (elements up to the end of the payload). An element layout with one unnamed field is a bare
-- value.

local function u8(name, vals) return { kind = "u8", name = name, vals = vals } end
local function u16(name, vals) return { kind = "u16", name = name, vals = vals } end
local function u32(name, vals) return { kind = "u32", name = name, vals = vals } end
local function i16(name) return { kind = "i16", name = name } end
local function bytes(name, n) return { kind = "bytes", name = name, size = n } end
local function text(name, n) return { kind = "text", name = name, size = n } end
local function skip(n) return { kind = "skip", name = "reserved", size = n } end
local function list(name, count_from, element, slots)
  return { kind = "list", name = name, count_from = count_from, element = element, slots = slots }
end
local function array(name, n, element) return { kind = "array", name = name, size = n, element = element } end
local function rest(name, element) return { kind = "rest", name = name, element = element } end
-- A field or list of level fields: shown converted by the level-convention preferences.
local function level(f) f.level = true return f end

local function layout(group, title, fields) return { group = group, title = title, fields = fields } end

local U16 = layout("u16", "value", { u16("") })
local CELL_ENTRY = layout("entry", "entry", { u32("first"), u16("second") })
local FREQ_ENTRY = layout("freq", "frequency", { u32("") })

-- Commands
local W_GENERAL = layout("wscan", "WCDMA general scan mode", {
  u8("mode", W_MODE_NAMES), u32("value1"), u32("value2"), u32("value3"), u16("value4"),
  u16("value5"), u8("value6"), u8("value7"), u16("value8"), u8("value9"), u8("value10"),
  u8("flag"), i16("value11"), u8("value12"), u32("value13") })
local W_CELL_LIST = layout("wcells", "WCDMA cell-list scan mode", {
  u8("mode", W_MODE_NAMES), u8("listValue1"), u16("listValue2"), u8("listValue3"), u8("count"),
  list("entries", "count", CELL_ENTRY) })
local W_FREQ_LIST = layout("wfreqs", "WCDMA frequency-list scan mode", {
  u8("mode", W_MODE_NAMES), u8("listValue1"), u16("listValue2"), u8("listValue3"), u8("count"),
  list("entries", "count", FREQ_ENTRY) })

local function td_header()
  return { u8("mode", TD_MODE_NAMES), u8("fingerTest"), u8("selector"), u16("selectorValue") }
end
local function td_layout(group, title, more)
  local fields = td_header()
  for _, f in ipairs(more) do fields[#fields + 1] = f end
  return layout(group, title, fields)
end
local TD_HEADER = td_layout("tdscan", "TD scan mode (header only)", {})
local TD_LIST = td_layout("tdlist", "TD list scan mode", {
  u8("count"), list("entries", "count", CELL_ENTRY), u8("trailing") })
local TD_SEARCH = td_layout("tdsearch", "TD cell-search scan mode", {
  u8("search1"), u16("search2"), u32("search3"), u32("search4") })
local TD_SA = td_layout("tdsa", "TD SA scan mode", {
  u32("sa1"), u32("sa2"), u32("sa3"), u8("sa4"), u8("saFlag"), i16("sa5") })
local TD_CW = td_layout("tdcw", "TD CW scan mode", { u32("cw1"), u16("cw2") })
local TD_CHANNEL = td_layout("tdchannel", "TD channel scan mode", {
  u32("channel1"), u32("channel2"), u16("channel3"), u8("channel4"), u8("channel5"),
  u8("channel6"), bytes("block1", 16), bytes("block2", 16) })
local TD_MODE8 = td_layout("tdmode8", "TD mode-8 scan mode", {
  u32("mode8Value1"), u8("mode8Value2"), u16("mode8Value3") })

local START_TIME = layout("start", "scan start time", {
  u16("year"), u8("month"), u8("day"), u8("hour"), u8("minute"), u8("second") })
local COMMAND22 = layout("cmd22", "code-22 body", {
  u32("value1"), u8("value2"), bytes("block1", 10), bytes("block2", 10) })
local LOGIN = layout("login", "login", { text("text1", 16), text("text2", 16) })
local IP = layout("ip", "IPv4 address", { u32("address") })
local MAC = layout("mac", "MAC address", { bytes("address", 6) })
local SIGNED = layout("signed", "one signed value", { i16("value") })
local TWO_VALUES = layout("twovalues", "two values", { u16("value1"), i16("value2") })
local GPS_FORMAT = layout("gpsformat", "GPS info format", { u16("value1"), u16("value2") })

-- Replies
local VALUE = layout("result", "reply value", { u16("value") })
local TWO_BLOCK = layout("twoblock", "two-block reply", {
  bytes("block1", 16), bytes("block2", 16), u32("value"), u8("tail") })
local ONE_VALUE = layout("onevalue", "one-value reply", { u32("value") })
local FAMILY = layout("family", "family reply", { u32("family", FAMILY_NAMES) })
local THREE_VALUE = layout("threevalue", "three-value reply", { u32("value1"), u32("value2"), u16("value3") })
local TD_TWO_BLOCK = layout("tdtwoblock", "TD two-block reply", {
  bytes("block1", 8), bytes("block2", 8), u32("value"), u8("tail") })
local GPS_TEXT = layout("gpstext", "GPS text reply", {
  u8("headerByte"), text("gpsText", 119), u32("headerValue1"), u32("headerValue2") })
local BATTERY = layout("battery", "battery reply", { u16("value1"), u8("value2") })

-- Reports and status
local STATUS = layout("status", "status report", { u16("value") })
local TD_STATUS = layout("tdstatus", "TD status report", { u32("value1"), u16("value2") })
local LINK_STATUS = layout("linkstatus", "link status", { u8("status0"), u8("status1", LINK_STATUS_NAMES) })
local VALUE_LIST = layout("values", "value-list report", {
  u8("headerByte"), text("gpsText", 119), u32("headerValue1"), u32("headerValue2"),
  u32("headerValue3"), u16("count"), level(list("values", "count", U16, 50)) })
local TD_VALUE_LIST = layout("tdvalues", "TD value-list report", {
  u8("headerByte"), text("gpsText", 119), u32("headerValue1"), u32("headerValue2"), u16("count"),
  level(list("values", "count", U16, 50)) })
local SHORT_VALUE_LIST = layout("shortvalues", "short value-list report", {
  u16("count"), u32("reportValue"), level(list("values", "count", U16, 20)), u8("tail") })
local CELL_RECORD = layout("cellrecord", "cell record", {
  u32("value1"), u16("value2"), level(u16("value3")), u16("value4"), u16("value5"), u16("value6"),
  u8("count"), list("entries", "count", CELL_ENTRY, 6) })
local CELL_RECORDS = layout("cellrecords", "cell-record report", {
  u8("headerByte"), text("gpsText", 119), u32("headerValue1"), u32("headerValue2"), skip(1),
  u8("count"), u32("reportValue"), list("records", "count", CELL_RECORD) })
local SWEEP = layout("sweep", "sweep report", { u32("start"), u32("end"), u32("step"), level(rest("points", U16)) })
local FINGER = layout("finger", "finger", { u32("value1"), u32("value2"), u32("value3"), u32("value4") })
local TD_CELL = layout("tdcell", "TD cell record", {
  u32("key1"), u16("key2"), level(array("values", 21, U16)), i16("delay") })
local TD_CELL_FINGER = layout("tdcellf", "TD cell record with fingers", {
  u32("key1"), u16("key2"), level(array("values", 21, U16)), i16("delay"), u32("fingerValue"),
  array("fingers", 4, FINGER) })
local function td_cells_layout(group, title, element)
  return layout(group, title, {
    u8("headerByte"), text("gpsText", 119), u32("gpsMode", GPS_MODE_NAMES), skip(4),
    u8("reportByte"), u8("count"), list("cells", "count", element) })
end
local TD_CELLS = td_cells_layout("tdcells", "TD cell report", TD_CELL)
local TD_CELLS_FINGER = td_cells_layout("tdcellsf", "TD cell report with fingers", TD_CELL_FINGER)
local PROFILE = layout("profile", "profile record", {
  u8("profileByte"), u32("value1"), u32("value2"), u32("value3"), u16("value4"), u32("value5"),
  array("first", 144, U16), array("second", 144, U16) })
local TD_PROFILE = layout("tdprofile", "TD profile report", {
  u8("headerByte"), text("gpsText", 119), u32("headerValue1"), u32("headerValue2"),
  u32("headerValue3"), u32("headerValue4"), u32("headerValue5"), u8("reportByte1"),
  u8("reportByte2"), u8("count"), list("profiles", "count", PROFILE) })
local SHORT_PROFILE = layout("shortprofile", "short profile record", {
  u8("profileByte"), u16("value1"), u32("value2"), array("first", 144, U16), array("second", 144, U16) })
local TD_SHORT_PROFILE = layout("tdshortprofile", "TD short profile report", {
  u8("headerByte"), text("gpsText", 119), u32("headerValue1"), u32("headerValue2"),
  u32("headerValue3"), u32("headerValue4"), u8("count"), list("profiles", "count", SHORT_PROFILE) })

local TD_CELL_SIZE, TD_CELL_FINGER_SIZE, TD_CELLS_HEAD = 50, 118, 130

local function w_scan_mode(mode)
  if mode == 7 then return W_CELL_LIST end
  if mode == 8 then return W_FREQ_LIST end
  return W_GENERAL
end
local TD_BY_MODE = { [1] = TD_LIST, [4] = TD_LIST, [2] = TD_SEARCH, [3] = TD_SA, [5] = TD_CW,
                     [6] = TD_CHANNEL, [8] = TD_MODE8 }

-- Commands: a layout, or a function of the payload; absent codes carry no body.
local COMMANDS = {
  [1] = function(p) return w_scan_mode(p:range(0, 1):uint()) end,
  -- A TD mode without fields of its own normally goes out empty; a header alone is shown as such.
  [0xF001] = function(p) return TD_BY_MODE[p:range(0, 1):uint()] or TD_HEADER end,
  [4] = START_TIME, [0xF004] = START_TIME, [22] = COMMAND22, [43] = LOGIN, [46] = LOGIN,
  [81] = IP, [84] = MAC, [87] = SIGNED, [97] = TWO_VALUES, [0xF040] = GPS_FORMAT,
}
local REPLIES = {
  [11] = function(p) return w_scan_mode(p:range(0, 1):uint()) end,
  [0xF00B] = function(p) return TD_BY_MODE[p:range(0, 1):uint()] or TD_HEADER end,
  [5] = TWO_BLOCK, [21] = TWO_BLOCK, [23] = ONE_VALUE, [25] = ONE_VALUE, [44] = FAMILY,
  [51] = THREE_VALUE, [0xF015] = TD_TWO_BLOCK, [0xF02A] = GPS_TEXT, [0xF031] = BATTERY,
}
for _, c in ipairs({ 3, 6, 9, 12, 24, 89, 99, 0xF003, 0xF006, 0xF009, 0xF00C, 0xF02B, 0xF032, 0xF042 }) do
  REPLIES[c] = VALUE
end
local REPORTS = {
  [36] = VALUE_LIST, [37] = STATUS, [38] = SHORT_VALUE_LIST, [40] = CELL_RECORDS,
  [41] = CELL_RECORDS, [257] = CELL_RECORDS, [259] = CELL_RECORDS, [73] = SWEEP,
  [0xF026] = SWEEP, [0xF027] = TD_VALUE_LIST, [0xF028] = TD_STATUS, [0xF100] = TD_PROFILE,
  [0xF102] = TD_SHORT_PROFILE, [0xFFEE] = LINK_STATUS,
  -- 0xF025 with or without fingers is chosen in dissect_frame: the record size is not in the header.
  [0xF025] = TD_CELLS,
}

---------------------------------------------------------------------------------------------------
-- Fields, made once from the layout tables.

local hf = {
  sync = ProtoField.uint8("scanlink.sync", "Sync", base.HEX),
  module = ProtoField.uint8("scanlink.module", "Module id", base.DEC),
  code = ProtoField.uint16("scanlink.code", "Code", base.HEX_DEC, CODE_NAMES),
  trans = ProtoField.uint16("scanlink.trans", "Transaction id", base.DEC),
  length = ProtoField.uint16("scanlink.length", "Payload length", base.DEC),
  kind = ProtoField.string("scanlink.kind", "Kind"),
  name = ProtoField.string("scanlink.name", "Name"),
  payload = ProtoField.bytes("scanlink.payload", "Payload"),
  skipped = ProtoField.bytes("scanlink.skipped", "Bytes skipped (no plausible frame header)"),
  start_time = ProtoField.string("scanlink.start.when", "Start time"),
  response_in = ProtoField.framenum("scanlink.response_in", "Reply in", base.NONE, frametype.RESPONSE),
  response_to = ProtoField.framenum("scanlink.response_to", "Request in", base.NONE, frametype.REQUEST),
  response_time = ProtoField.relative_time("scanlink.response_time", "Response time"),
  level = ProtoField.double("scanlink.level", "Level"),
}
local alarm_hf = {
  data = ProtoField.bytes("scanlink_alarm.data", "Alarm bytes"),
  direction = ProtoField.string("scanlink_alarm.direction", "Direction"),
}
-- Events a recording notes between units: each connection is a stream of its own.
local REC_EVENTS = { [1] = "connection begins", [2] = "connection ends", [3] = "link lost",
                     [4] = "link restored" }
local rec_hf = {
  version = ProtoField.uint8("scanlink_rec.version", "Version", base.DEC),
  direction = ProtoField.uint8("scanlink_rec.direction", "Direction", base.DEC,
                               { [0] = "from the scanner", [1] = "to the scanner", [2] = "event" }),
  channel = ProtoField.uint8("scanlink_rec.channel", "Channel", base.DEC, { [0] = "data", [1] = "alarm" }),
  connection = ProtoField.uint8("scanlink_rec.connection", "Connection (modulo 256)", base.DEC),
  event = ProtoField.uint8("scanlink_rec.event", "Event", base.DEC, REC_EVENTS),
  note = ProtoField.string("scanlink_rec.note", "Note"),
}

local KIND_TYPES = {
  u8 = { ProtoField.uint8, base.DEC }, u16 = { ProtoField.uint16, base.DEC },
  u32 = { ProtoField.uint32, base.DEC }, i16 = { ProtoField.int16, base.DEC },
}
local WIDTH = { u8 = 1, u16 = 2, u32 = 4, i16 = 2 }

local function make_fields(lay)
  if lay.made then return end
  lay.made = true
  local prefix = "scanlink." .. lay.group
  if not (#lay.fields == 1 and lay.fields[1].name == "") then
    lay.pf = ProtoField.none(prefix, lay.title)
    hf[#hf + 1] = lay.pf
  end
  for _, f in ipairs(lay.fields) do
    local abbr = f.name == "" and prefix or (prefix .. "." .. f.name)
    local label = f.name == "" and lay.title or f.name
    local t = KIND_TYPES[f.kind]
    if t then
      f.pf = t[1](abbr, label, t[2], f.vals)
    elseif f.kind == "bytes" or f.kind == "skip" then
      f.pf = ProtoField.bytes(abbr, label)
    elseif f.kind == "text" then
      f.pf = ProtoField.string(abbr, label)
    else
      f.pf = ProtoField.none(abbr, label)
      make_fields(f.element)
    end
    hf[#hf + 1] = f.pf
  end
end

local ALL_LAYOUTS = {
  W_GENERAL, W_CELL_LIST, W_FREQ_LIST, TD_HEADER, TD_LIST, TD_SEARCH, TD_SA, TD_CW, TD_CHANNEL,
  TD_MODE8, START_TIME, COMMAND22, LOGIN, IP, MAC, SIGNED, TWO_VALUES, GPS_FORMAT, VALUE,
  TWO_BLOCK, ONE_VALUE, FAMILY, THREE_VALUE, TD_TWO_BLOCK, GPS_TEXT, BATTERY, STATUS, TD_STATUS,
  LINK_STATUS, VALUE_LIST, TD_VALUE_LIST, SHORT_VALUE_LIST, CELL_RECORDS, SWEEP, TD_CELLS,
  TD_CELLS_FINGER, TD_PROFILE, TD_SHORT_PROFILE,
}
for _, lay in ipairs(ALL_LAYOUTS) do make_fields(lay) end

local function expert_item(name, text, group, severity)
  return ProtoExpert.new("scanlink.ex." .. name, text, expert.group[group], expert.severity[severity])
end
local ex = {
  short = expert_item("short", "Payload ends inside the layout", "MALFORMED", "ERROR"),
  trailing = expert_item("trailing", "Bytes after the layout", "PROTOCOL", "WARN"),
  slots = expert_item("slots", "Count above the receiver's slots", "PROTOCOL", "WARN"),
  oversized = expert_item("oversized", "Header announcing a frame longer than 2056 bytes: the receiver " ..
                          "skips it byte by byte", "MALFORMED", "ERROR"),
  nosync = expert_item("nosync", "No plausible frame header: the receiver skips these bytes",
                       "MALFORMED", "ERROR"),
  incomplete = expert_item("incomplete", "The recording ends inside this frame", "MALFORMED", "WARN"),
  pseudo = expert_item("pseudo", "Not a scanlink recording unit", "MALFORMED", "ERROR"),
  sweep = expert_item("sweep", "Sweep points differ from (end - start) / step + 1", "PROTOCOL", "WARN"),
  body = expert_item("body", "Payload on a frame whose code has no layout", "PROTOCOL", "NOTE"),
  finger = expert_item("finger", "TD cell record size guessed: the payload length fits neither record size",
                       "PROTOCOL", "WARN"),
}
proto.fields = hf
proto.experts = ex
alarm_proto.fields = alarm_hf
rec_proto.fields = rec_hf

proto.prefs.port = Pref.uint("Data port", DEFAULT_DATA_PORT, "TCP port of the scanner's data connection")
-- The protocol does not say what a level field holds; the recording's level-offset and level-unit
-- header (scanlink decode shows them) or the scanner's documentation does.
proto.prefs.level_unit = Pref.string("Level unit", "",
                                     "unit of level fields once the offset is added, e.g. dBm; empty: raw")
proto.prefs.level_offset = Pref.string("Level offset", "0",
                                       "added to a level field to give the unit, e.g. -150")

-- Under a level field's item: its value in the declared unit; without one, the item says raw.
local function add_level(item, r, raw)
  local unit = proto.prefs.level_unit
  local offset = tonumber(proto.prefs.level_offset)
  if unit == "" or unit == "raw" or not offset then
    item:append_text(" (raw)")
    return
  end
  item:add(hf.level, r, raw + offset):append_text(" " .. unit .. " (raw " .. raw .. ")"):set_generated()
end

---------------------------------------------------------------------------------------------------
-- The walker. It never reads past the payload: every field checks what is left first, and a count
-- never makes it read more elements than the remaining bytes can hold.

local function fixed_size(lay)
  local total = 0
  for _, f in ipairs(lay.fields) do
    if WIDTH[f.kind] then
      total = total + WIDTH[f.kind]
    elseif f.kind == "bytes" or f.kind == "text" or f.kind == "skip" then
      total = total + f.size
    elseif f.kind == "array" then
      local each = fixed_size(f.element)
      if not each then return nil end
      total = total + each * f.size
    else
      return nil
    end
  end
  return total
end

local walk

local function is_bare(lay) return #lay.fields == 1 and lay.fields[1].name == "" end

-- Adds one element at off; returns the next offset, or nil once the payload ran out.
local function element(lay, index, p, off, tree, pinfo, is_level)
  if is_bare(lay) then
    local f = lay.fields[1]
    local w = WIDTH[f.kind]
    if off + w > p:len() then return nil end
    local r = p:range(off, w)
    local item = tree:add(f.pf, r, f.kind == "i16" and r:int() or r:uint())
    item:prepend_text("[" .. index .. "] ")
    if is_level then add_level(item, r, r:uint()) end
    return off + w
  end
  local sub = tree:add(lay.pf, p:range(off, math.min(1, p:len() - off)))
  sub:set_text(lay.title .. " " .. index)
  local next_off = walk(lay, p, off, sub, pinfo)
  if next_off then sub:set_len(next_off - off) else sub:set_len(p:len() - off) end
  return next_off
end

-- Adds count elements (or as many as fit); returns the next offset, or nil if the payload ran out.
local function elements(f, count, p, off, tree, pinfo)
  local start = off
  local sub = tree:add(f.pf, p:range(off, math.min(1, p:len() - off)))
  sub:append_text(" (" .. count .. ")")
  local i = 0
  while i < count do
    if off >= p:len() then
      sub:add_proto_expert_info(ex.short, f.name .. ": " .. count .. " announced, " .. i .. " in the payload")
      off = nil
      break
    end
    off = element(f.element, i, p, off, sub, pinfo, f.level)
    if not off then
      sub:add_proto_expert_info(ex.short, f.name .. ": element " .. i .. " is cut short")
      break
    end
    i = i + 1
  end
  sub:set_len((off or p:len()) - start)
  return off
end

-- Walks a layout from off; returns the next offset, or nil once the payload ran out.
walk = function(lay, p, off, tree, pinfo)
  local values = {}
  for _, f in ipairs(lay.fields) do
    local left = p:len() - off
    local w = WIDTH[f.kind] or ((f.kind == "bytes" or f.kind == "text" or f.kind == "skip") and f.size)
    if w then
      if left < w then
        tree:add_proto_expert_info(ex.short, f.name .. " needs " .. w .. " bytes at offset " .. off ..
                                   ", " .. left .. " left")
        return nil
      end
      local r = p:range(off, w)
      if f.kind == "i16" then
        tree:add(f.pf, r, r:int())
      elseif WIDTH[f.kind] then
        values[f.name] = r:uint()
        local item = tree:add(f.pf, r, values[f.name])
        if f.vals and not f.vals[values[f.name]] and f.name == "mode" and lay == W_GENERAL then
          item:append_text(" (general)")
        end
        if f.level then add_level(item, r, values[f.name]) end
      elseif f.kind == "text" then
        -- Bytes from the scanner, not necessarily UTF-8: printable ASCII as it is, the rest escaped.
        local t = r:raw():match("^[^%z]*"):gsub("[^\32-\126]", function(c)
          return string.format("\\x%02x", c:byte())
        end)
        values[f.name] = t
        tree:add(f.pf, r, t)
      else
        tree:add(f.pf, r)
      end
      off = off + w
    elseif f.kind == "list" then
      local count = values[f.count_from] or 0
      if f.slots and count > f.slots then
        tree:add_proto_expert_info(ex.slots, f.name .. ": count " .. count .. " above the " .. f.slots ..
                                   " slots the receiver keeps")
      end
      off = elements(f, count, p, off, tree, pinfo)
      if not off then return nil end
    elseif f.kind == "array" then
      off = elements(f, f.size, p, off, tree, pinfo)
      if not off then return nil end
    elseif f.kind == "rest" then
      local each = fixed_size(f.element)
      local count = math.floor((p:len() - off) / each)
      local sub_off = elements(f, count, p, off, tree, pinfo)
      values[f.name] = count
      if sub_off and sub_off < p:len() then
        tree:add_proto_expert_info(ex.trailing, (p:len() - sub_off) .. " stray bytes after " .. f.name)
        sub_off = p:len()
      end
      off = sub_off
    end
  end
  if lay == START_TIME and off then
    -- Years count from 1900 and months from 0, as in the C library's broken-down time.
    tree:add(hf.start_time, p:range(0, off), string.format("%04d-%02d-%02d %02d:%02d:%02d",
             values.year + 1900, values.month + 1, values.day, values.hour, values.minute,
             values.second)):set_generated()
  end
  if lay == SWEEP then
    -- The receiver computes the number of points instead of counting them; say when they differ.
    local s, e, st = values["start"], values["end"], values["step"]
    local expected = (st and st > 0 and e >= s) and (math.floor((e - s) / st) + 1) or nil
    if expected ~= values["points"] then
      tree:add_proto_expert_info(ex.sweep, "payload holds " .. tostring(values["points"]) .. " points, " ..
                                 "start/end/step give " ..
                                 (expected and tostring(expected) or "none (step 0 or end below start)"))
    end
  end
  return off, values
end

---------------------------------------------------------------------------------------------------
-- Frames

-- Finger fields of TD cell reports follow the last TD scan mode of mode 1, 2 or 4 sent on the
-- connection. The payload length settles it in almost every case; the remembered mode settles the
-- rest. Remembered per packet on the first pass, so later passes in any order agree.
local finger_by_stream = {}
local finger_at_packet = {}
local tcp_stream = Field.new("tcp.stream")

local function stream_key()
  local s = tcp_stream()
  return s and s.value or -1
end

local function td_cells_layout_for(p, pinfo)
  local remembered = finger_at_packet[pinfo.number]
  if remembered == nil then
    remembered = finger_by_stream[stream_key()] or false
    finger_at_packet[pinfo.number] = remembered
  end
  if p:len() <= TD_CELLS_HEAD then return remembered and TD_CELLS_FINGER or TD_CELLS, true end
  local count = p:range(TD_CELLS_HEAD - 1, 1):uint()
  local len = p:len()
  if count > 0 and len == TD_CELLS_HEAD + TD_CELL_FINGER_SIZE * count then return TD_CELLS_FINGER, true end
  if count > 0 and len == TD_CELLS_HEAD + TD_CELL_SIZE * count then return TD_CELLS, true end
  return remembered and TD_CELLS_FINGER or TD_CELLS, count == 0
end

local function remember_td_scan_mode(p, pinfo)
  if pinfo.visited or p:len() < 2 then return end
  local mode = p:range(0, 1):uint()
  if mode == 1 or mode == 2 or mode == 4 then
    finger_by_stream[stream_key()] = p:range(1, 1):uint() == 1
  end
end

local function data_port(pinfo)
  if pinfo.match_uint and pinfo.match_uint ~= 0 then return pinfo.match_uint end
  return proto.prefs.port
end

-- One packet may hold several frames (TCP may hand them over in more than one call): the first
-- sets the Info column, the others append to it.
local info_packet, frames_in_packet = nil, 0
local function add_info(pinfo, textline)
  if info_packet ~= pinfo.number then
    info_packet, frames_in_packet = pinfo.number, 0
  end
  if frames_in_packet == 0 then
    pinfo.cols.info:set(textline)
  else
    pinfo.cols.info:append(" | " .. textline)
  end
  frames_in_packet = frames_in_packet + 1
end

-- The layout entry for a frame: a layout, a function choosing one from the payload, or nil.
local function layout_entry(kind, code)
  if kind == "command" then return COMMANDS[code] end
  if kind == "reply" then return REPLIES[code] end
  return REPORTS[code]
end

-- The receiver's rule for a frame start: the sync byte, a payload of at most 2048 bytes and a
-- transaction id a scanner sends (1..1023, or 0xFFFF). Anything else is skipped byte by byte up to
-- the next plausible header, whatever the segments, as the library does.
local function plausible_at(tvb, off)
  if off + HEADER > tvb:len() or tvb(off, 1):uint() ~= SYNC then return false end
  local trans, plen = tvb(off + 4, 2):uint(), tvb(off + 6, 2):uint()
  return plen <= MAX_PAYLOAD and ((trans >= 1 and trans <= MAX_TRANS) or trans == UNSOLICITED)
end

-- The run of bytes from off that the receiver skips: up to the next plausible header. On TCP
-- (final false) a sync byte too near the end to judge also ends the run, so it is judged with the
-- next segment's bytes.
local function skip_length(tvb, off, final)
  local len = tvb:len()
  local raw = tvb:raw(0, len)
  local from = off + 1
  while true do
    local at = raw:find("\85", from + 1, true) -- 1-based
    if not at then return len - off end
    local i = at - 1
    if plausible_at(tvb, i) or (not final and i + HEADER > len) then return i - off end
    from = i + 1
  end
end

-- Requests and their replies, paired by transaction id on the first pass.
local requests = {} -- [stream:trans] = { frame, ts, reply }
local pairs_at = {} -- ["req:" frame:trans] = reply frame, ["rep:" frame:trans] = { frame, delta }

local function link_request(root, pinfo, kind, trans)
  if trans < 1 or trans > MAX_TRANS then return end
  local stream = tostring(stream_key()) .. ":" .. trans
  local here = pinfo.number .. ":" .. trans
  if not pinfo.visited then
    if kind == "command" then
      requests[stream] = { frame = pinfo.number, ts = pinfo.abs_ts }
    elseif kind == "reply" and requests[stream] then
      local r = requests[stream]
      pairs_at["rep:" .. here] = { frame = r.frame, delta = pinfo.abs_ts - r.ts }
      if not r.reply then
        r.reply = pinfo.number
        pairs_at["req:" .. r.frame .. ":" .. trans] = pinfo.number
      end
    end
  end
  if kind == "command" and pairs_at["req:" .. here] then
    root:add(hf.response_in, pairs_at["req:" .. here]):set_generated()
  elseif kind == "reply" and pairs_at["rep:" .. here] then
    local link = pairs_at["rep:" .. here]
    root:add(hf.response_to, link.frame):set_generated()
    -- Capture times are in microseconds; the difference of two doubles is rounded back to them.
    local us = math.floor(link.delta * 1e6 + 0.5)
    root:add(hf.response_time, NSTime.new(math.floor(us / 1e6), (us % 1000000) * 1000)):set_generated()
  end
end

local function dissect_skipped(tvb, pinfo, tree)
  local total = tvb:len()
  pinfo.cols.protocol:set("scanlink")
  local root = tree:add(proto, tvb())
  root:set_text("scanlink: " .. total .. " bytes skipped (no plausible frame header)")
  local item = root:add(hf.skipped, tvb())
  if total >= HEADER and tvb(0, 1):uint() == SYNC and tvb(6, 2):uint() > MAX_PAYLOAD then
    item:add_proto_expert_info(ex.oversized, "header announces " .. (HEADER + tvb(6, 2):uint()) ..
                               " bytes, more than 2056")
  else
    item:add_proto_expert_info(ex.nosync)
  end
  add_info(pinfo, total .. " bytes skipped")
  return total
end

local function dissect_frame(tvb, pinfo, tree, to_scanner)
  if not plausible_at(tvb, 0) then return dissect_skipped(tvb, pinfo, tree) end
  local total = tvb:len()
  pinfo.cols.protocol:set("scanlink")
  local root = tree:add(proto, tvb())
  local module, code, trans, plen = tvb(1, 1):uint(), tvb(2, 2):uint(), tvb(4, 2):uint(), tvb(6, 2):uint()
  if to_scanner == nil then to_scanner = pinfo.dst_port == data_port(pinfo) end
  local kind = trans == UNSOLICITED and "report" or (to_scanner and "command" or "reply")
  local name = CODE_NAMES[code] or "Unknown"
  root:add(hf.sync, tvb(0, 1))
  root:add(hf.module, tvb(1, 1))
  root:add(hf.code, tvb(2, 2))
  local trans_item = root:add(hf.trans, tvb(4, 2))
  if trans == UNSOLICITED then trans_item:append_text(" (unsolicited, for every module)") end
  root:add(hf.length, tvb(6, 2))
  root:add(hf.kind, kind):set_generated()
  root:add(hf.name, name):set_generated()
  root:set_text(string.format("scanlink %s 0x%04X %s, module %d, trans %d, %d bytes", kind, code, name,
                              module, trans, plen))
  add_info(pinfo, string.format("%s 0x%04X %s trans %d", kind, code, name, trans))
  link_request(root, pinfo, kind, trans)
  if plen == 0 then
    -- Empty is right for a code without a body, for the TD start (with or without its time) and
    -- for a TD scan mode without fields; not for a fixed layout.
    local entry = layout_entry(kind, code)
    if entry and type(entry) ~= "function" and code ~= 0xF004 then
      root:add_proto_expert_info(ex.short, "empty payload")
    end
    return total
  end
  local p = tvb(HEADER, plen):tvb()
  root:add(hf.payload, tvb(HEADER, plen))

  local lay, certain = layout_entry(kind, code), true
  if kind == "command" and code == 0xF001 then remember_td_scan_mode(p, pinfo) end
  if kind == "report" and code == 0xF025 then lay, certain = td_cells_layout_for(p, pinfo) end
  if type(lay) == "function" then lay = lay(p) end
  if not lay then
    root:add_proto_expert_info(ex.body)
    return total
  end
  local body = root:add(lay.pf, tvb(HEADER, plen))
  if not certain then body:add_proto_expert_info(ex.finger) end
  local off, values = walk(lay, p, 0, body, pinfo)
  if off and off < plen then
    body:add_proto_expert_info(ex.trailing, (plen - off) .. " bytes after the " .. lay.title)
  end
  -- Texts people look for in the packet list: the login name, a GPS sentence, a start time.
  if values and lay == LOGIN and code == 43 then
    pinfo.cols.info:append(' user "' .. values.text1 .. '"')
  elseif values and values.gpsText and values.gpsText ~= "" then
    pinfo.cols.info:append(' "' .. values.gpsText .. '"')
  elseif values and lay == START_TIME and off then
    pinfo.cols.info:append(string.format(" at %04d-%02d-%02d %02d:%02d:%02d", values.year + 1900,
                                         values.month + 1, values.day, values.hour, values.minute,
                                         values.second))
  end
  return total
end

-- The start of a frame whose end is not at hand (the capture or the recording ends first).
local function dissect_incomplete(tvb, pinfo, tree, flen)
  pinfo.cols.protocol:set("scanlink")
  local item = tree:add(proto, tvb())
  item:set_text("scanlink: the first " .. tvb:len() .. " bytes of a frame of " .. flen)
  item:add_proto_expert_info(ex.incomplete)
  add_info(pinfo, tvb:len() .. " bytes of an incomplete frame")
  return tvb:len()
end

-- Frame length from the header, or the length of the run of bytes skipped before the next one. A
-- sync byte with less than a header behind it asks for the header first (TCP then calls again with
-- the bytes reassembled), so a run of skipped bytes may be shorter than a header.
local function frame_length(tvb, pinfo, offset)
  if tvb(offset, 1):uint() == SYNC and tvb:len() - offset < HEADER then return HEADER end
  if plausible_at(tvb, offset) then return HEADER + tvb(offset + 6, 2):uint() end
  return skip_length(tvb, offset, false)
end

function proto.init()
  finger_by_stream, finger_at_packet, info_packet = {}, {}, nil
  requests, pairs_at = {}, {}
end

-- The units of what TCP hands over (frames and runs of skipped bytes) are cut first and shown after.
-- While a unit at the end is incomplete, TCP is asked for the rest; when only skipped bytes come
-- before it, the whole is kept for later, as TCP would otherwise hand those bytes over (and show
-- them) again with every extension of its reassembly.
function proto.dissector(tvb, pinfo, tree)
  local len = tvb:len()
  local units, off, frames = {}, 0, 0
  while off < len do
    local n = frame_length(tvb, pinfo, off)
    if n > len - off then break end
    if plausible_at(tvb, off) then frames = frames + 1 end
    units[#units + 1] = { off, n }
    off = off + n
  end
  if off < len and pinfo.can_desegment > 0 then
    local need = frame_length(tvb, pinfo, off) - (len - off)
    pinfo.desegment_offset = frames == 0 and 0 or off
    pinfo.desegment_len = need
    if frames == 0 then return len end
  end
  for _, u in ipairs(units) do dissect_frame(tvb(u[1], u[2]):tvb(), pinfo, tree) end
  if off < len and pinfo.can_desegment == 0 then
    dissect_incomplete(tvb(off):tvb(), pinfo, tree, frame_length(tvb, pinfo, off))
  end
  return len
end

local function dissect_alarm(tvb, pinfo, tree, to_scanner)
  pinfo.cols.protocol:set("scanlink alarm")
  local dir = to_scanner and "to the scanner" or "from the scanner"
  local root = tree:add(alarm_proto, tvb())
  root:add(alarm_hf.direction, dir):set_generated()
  root:add(alarm_hf.data, tvb())
  root:set_text("scanlink alarm: " .. tvb:len() .. " raw bytes " .. dir)
  pinfo.cols.info:set("alarm " .. tvb:len() .. " bytes " .. dir)
  return tvb:len()
end

function alarm_proto.dissector(tvb, pinfo, tree)
  return dissect_alarm(tvb, pinfo, tree, pinfo.dst_port == ALARM_PORT)
end

-- A recording's packet: the pseudo-header, then one unit as the library cut it (a frame, or a run
-- of skipped bytes, from the scanner; a frame sent to it; alarm bytes as read or sent).
function rec_proto.dissector(tvb, pinfo, tree)
  local len = tvb:len()
  local root = tree:add(rec_proto, tvb(0, math.min(4, len)))
  local event = len > 4 and tvb(1, 1):uint() == 2 and REC_EVENTS[tvb(4, 1):uint()]
  if len < 4 or tvb(0, 1):uint() ~= 1 or (tvb(1, 1):uint() > 1 and not event) or tvb(2, 1):uint() > 1 then
    pinfo.cols.protocol:set("scanlink")
    root:add_proto_expert_info(ex.pseudo)
    return len
  end
  local to_scanner, alarm = tvb(1, 1):uint() == 1, tvb(2, 1):uint() == 1
  root:add(rec_hf.version, tvb(0, 1))
  root:add(rec_hf.direction, tvb(1, 1))
  root:add(rec_hf.channel, tvb(2, 1))
  root:add(rec_hf.connection, tvb(3, 1))
  if event then
    root:add(rec_hf.event, tvb(4, 1))
    local note = len > 5 and tvb(5):string() or ""
    if len > 5 then root:add(rec_hf.note, tvb(5)) end
    root:set_text("scanlink recording: " .. event .. (note ~= "" and (" (" .. note .. ")") or ""))
    pinfo.cols.protocol:set("scanlink")
    pinfo.cols.info:set(event .. (note ~= "" and (": " .. note) or ""))
    return len
  end
  root:set_text(string.format("scanlink recording: %s, %s channel", to_scanner and "to the scanner" or
                              "from the scanner", alarm and "alarm" or "data"))
  pinfo.p2p_dir = to_scanner and P2P_DIR_SENT or P2P_DIR_RECV
  if len == 4 then return len end
  local unit = tvb(4):tvb()
  if alarm then return 4 + dissect_alarm(unit, pinfo, tree, to_scanner) end
  local off, n = 0, unit:len()
  while off < n do
    if plausible_at(unit, off) then
      local flen = HEADER + unit(off + 6, 2):uint()
      if flen > n - off then
        dissect_incomplete(unit(off):tvb(), pinfo, tree, flen)
        break
      end
      dissect_frame(unit(off, flen):tvb(), pinfo, tree, to_scanner)
      off = off + flen
    else
      local skip = skip_length(unit, off, true)
      dissect_skipped(unit(off, skip):tvb(), pinfo, tree)
      off = off + skip
    end
  end
  return len
end

local tcp_port = DissectorTable.get("tcp.port")
local registered_port = proto.prefs.port

function proto.prefs_changed()
  if registered_port ~= proto.prefs.port then
    if registered_port ~= 0 then tcp_port:remove(registered_port, proto) end
    registered_port = proto.prefs.port
    if registered_port ~= 0 then tcp_port:add(registered_port, proto) end
  end
end

tcp_port:add(registered_port, proto)
tcp_port:add(ALARM_PORT, alarm_proto)
tcp_port:add_for_decode_as(proto)
DissectorTable.get("wtap_encap"):add((wtap_encaps or wtap).USER0, rec_proto)
