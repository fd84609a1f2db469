-- Wireshark dissector for the TCP link between a host and a Kestrel
-- clock-source board: the host's 256-byte command frames and the board's
-- answers, on TCP port 6653.
--
--   tshark -r capture.pcap -X lua_script:kestrel.lua -Y kestrel
--   or copy this file into ~/.local/lib/wireshark/plugins/
--
-- Answers carry no header: what an answer means follows from the frame it
-- answers. The host sends a frame only once it has the answer to the one
-- before, so each answer is matched to the newest frame of its connection.

local kestrel = Proto("kestrel", "Kestrel clock-source board link")

-- Board facts under the names the library gives them; the dissector_tables
-- test checks every value here against the library's protocol header.
local P = {
  kBoardPort = 6653,
  kFrameSize = 256,
  kOpRegisterAccess = 0xF0,
  kOpMemoryAndAux = 0xF1,
  kOffOpcode = 0,
  kOffAddressLow = 4,
  kOffValueLow = 6,
  kOffSubCommand = 1,
  kOffDirection = 2,
  kOffBlockLength = 3,
  kOffSelector = 4,
  kOffMemoryAddress = 5,
  kOffBlockData = 9,
  kOffAuxSelector = 2,
  kOffAuxArg1 = 3,
  kOffAuxArg2 = 4,
  kSubMemoryBlock = 0x00,
  kSubAuxRepeat = 0x02,
  kSubAux3 = 0x03,
  kSubAux4 = 0x04,
  kDirectionWrite = 0x00,
  kDirectionRead = 0x01,
  kBlockSize = 128,
  kRespValueLow = 1,
  kRegisterReadAnswerBytes = 3,
  kPageShift = 11,
  kRegisterMask = 0x07FF,
  kPageMask = 0x0F,
  kWriteBit = 0x8000,
}

-- Register names by number, as the library names them (checked by the same test).
local REGISTERS = {
  [9] = "Register9",
  [10] = "MemoryAddress",
  [11] = "MemoryData",
  [16] = "Temperature",
  [20] = "BoardId",
  [21] = "Serial0",
  [22] = "Serial1",
  [23] = "Serial2",
  [24] = "Serial3",
  [25] = "Serial4",
  [35] = "FMSwitch",
  [256] = "ClockSource",
  [257] = "Tx2Divider",
  [261] = "Register261",
  [262] = "SynthNumber",
  [263] = "SynthValue",
  [514] = "Tx2BUJAmplitude",
  [517] = "Tx2PMBUJLineRateApply",
  [519] = "Tx2PMBUJLineRate",
  [527] = "Tx2BUJPRBS",
  [529] = "Tx2BUJPatternLow",
  [530] = "Tx2BUJPatternHigh",
  [536] = "Tx2BUJPRBSFlag",
  [1024] = "Tx2AMAmplitude",
  [1025] = "Tx2PMEnable",
  [1026] = "Tx2PMFrequencyHigh",
  [1027] = "Tx2PMFrequencyLow",
  [1028] = "Tx2PMAmplitude",
  [1029] = "Tx2PMPhaseShiftAmplitude",
  [1030] = "Tx2PMRJEnable",
  [1031] = "Tx2PMRJAmplitude",
  [1032] = "Tx2AMEnable",
  [1035] = "Tx2Slider",
  [1036] = "Tx2AMRJAmplitude",
  [1038] = "FMFrequencyHigh",
  [1039] = "FMFrequencyLow",
  [1040] = "FMPhaseSkew",
  [1041] = "FMEnable",
  [1042] = "FMAmplitude",
  [1047] = "VcoLock",
  [1048] = "VcoVoltage",
  [1049] = "Tx2PMBUJEnable",
  [1051] = "Tx2PMBUJAmplitude",
  [1052] = "FMRJAmplitude",
}

-- Registers whose page says which one (sensor, switch) rather than being 0;
-- any other register is named on page 0 only.
local PAGED = { [16] = true, [35] = true }

local KIND_REGISTER_READ = "register read"
local KIND_REGISTER_WRITE = "register write"
local KIND_BLOCK_READ = "block read"
local KIND_BLOCK_WRITE = "block write"

local f = {
  answer = ProtoField.bool("kestrel.answer", "Answer from the board"),
  kind = ProtoField.string("kestrel.kind", "Kind"),
  opcode = ProtoField.uint8("kestrel.opcode", "Opcode", base.HEX,
    { [P.kOpRegisterAccess] = "register access", [P.kOpMemoryAndAux] = "memory and auxiliary" }),
  address_word = ProtoField.uint16("kestrel.address_word", "Address word", base.HEX),
  write = ProtoField.bool("kestrel.write", "Write"),
  page = ProtoField.uint8("kestrel.page", "Page", base.DEC),
  reg = ProtoField.uint16("kestrel.reg", "Register", base.DEC),
  reg_name = ProtoField.string("kestrel.reg_name", "Register name"),
  value = ProtoField.uint16("kestrel.value", "Value", base.HEX),
  sub_command = ProtoField.uint8("kestrel.sub_command", "Sub-command", base.DEC,
    { [P.kSubMemoryBlock] = "memory block", [P.kSubAuxRepeat] = "auxiliary read",
      [P.kSubAux3] = "auxiliary read 3", [P.kSubAux4] = "auxiliary read 4" }),
  mem_dir = ProtoField.uint8("kestrel.mem_dir", "Block direction", base.DEC,
    { [P.kDirectionWrite] = "write", [P.kDirectionRead] = "read" }),
  block_len = ProtoField.uint8("kestrel.block_len", "Block length", base.DEC),
  selector = ProtoField.uint8("kestrel.selector", "Selector", base.HEX),
  mem_addr = ProtoField.uint32("kestrel.mem_addr", "Memory address", base.DEC_HEX),
  block_data = ProtoField.bytes("kestrel.block_data", "Block data"),
  aux_selector = ProtoField.uint8("kestrel.aux_selector", "Auxiliary selector", base.HEX),
  aux_arg1 = ProtoField.uint8("kestrel.aux_arg1", "Auxiliary argument 1", base.HEX),
  aux_arg2 = ProtoField.uint8("kestrel.aux_arg2", "Auxiliary argument 2", base.HEX),
  request_in = ProtoField.framenum("kestrel.request_in", "Answers the frame in", base.NONE, frametype.REQUEST),
  answer_in = ProtoField.framenum("kestrel.answer_in", "Answered in", base.NONE, frametype.RESPONSE),
  answer_offset = ProtoField.uint32("kestrel.answer_offset", "Offset in the answer", base.DEC),
  answer_data = ProtoField.bytes("kestrel.answer_data", "Answer bytes"),
}
kestrel.fields = f

local e_orphan = ProtoExpert.new("kestrel.orphan", "Bytes from the board before any frame",
  expert.group.SEQUENCE, expert.severity.WARN)
local e_extra = ProtoExpert.new("kestrel.extra", "More bytes after a complete answer",
  expert.group.SEQUENCE, expert.severity.NOTE)
kestrel.experts = { e_orphan, e_extra }

kestrel.prefs.port = Pref.uint("Board TCP port", P.kBoardPort, "The TCP port the board listens on")

-- Per connection: the newest frame from the host. Per packet: what was found
-- when the packets went by in order, so that a packet looked at again later
-- (a click in the GUI) shows the same. Wireshark may start over from the
-- first packet after init(), and keeps pinfo.visited set when it does, so
-- going in order is told by the packet numbers, not by pinfo.visited.
local newest_frame, frames_seen, answers_seen, last_number
local PENDING = {}

function kestrel.init()
  newest_frame, frames_seen, answers_seen, last_number = {}, {}, {}, 0
end

-- Both directions of a connection under one key. Field extractors such as
-- tcp.stream are empty when tshark runs without a tree (its first pass with
-- -2), so the key is made from the addresses.
local function connection(pinfo, host_to_board)
  local host = tostring(pinfo.src) .. ":" .. pinfo.src_port
  local board = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
  if not host_to_board then host, board = board, host end
  return host .. "-" .. board
end

local function in_order(pinfo)
  if pinfo.number < last_number then return false end
  last_number = pinfo.number
  return true
end

local function register_name(page, reg)
  if page == 0 or PAGED[reg] then return REGISTERS[reg] end
  return nil
end

-- What a frame asks for, from its bytes alone.
local function decode_frame(tvb)
  local r = { opcode = tvb(P.kOffOpcode, 1):uint() }
  if r.opcode == P.kOpRegisterAccess then
    local word = tvb(P.kOffAddressLow, 2):le_uint()
    r.write = bit32.band(word, P.kWriteBit) ~= 0
    r.page = bit32.band(bit32.rshift(word, P.kPageShift), P.kPageMask)
    r.reg = bit32.band(word, P.kRegisterMask)
    r.kind = r.write and KIND_REGISTER_WRITE or KIND_REGISTER_READ
    if r.write then r.value = tvb(P.kOffValueLow, 2):le_uint() end
    r.needed = r.write and 1 or P.kRegisterReadAnswerBytes
  elseif r.opcode == P.kOpMemoryAndAux then
    r.sub = tvb(P.kOffSubCommand, 1):uint()
    local dir = tvb(P.kOffDirection, 1):uint()
    if r.sub == P.kSubMemoryBlock and (dir == P.kDirectionRead or dir == P.kDirectionWrite) then
      r.kind = dir == P.kDirectionRead and KIND_BLOCK_READ or KIND_BLOCK_WRITE
      r.address = tvb(P.kOffMemoryAddress, 4):le_uint()
      r.needed = dir == P.kDirectionRead and P.kBlockSize or 1
    else
      local aux = r.sub == P.kSubAuxRepeat or r.sub == P.kSubAux3 or r.sub == P.kSubAux4
      r.kind = (aux and "auxiliary read " or "sub-command ") .. r.sub
      r.needed = 1
    end
  else
    r.kind = string.format("unknown opcode 0x%02X", r.opcode)
    r.needed = 1
  end
  return r
end

local function describe(r)
  if r.reg then
    local name = register_name(r.page, r.reg)
    local text = string.format("page %d register %d%s", r.page, r.reg, name and (" " .. name) or "")
    return r.kind .. " " .. text
  elseif r.address then
    return string.format("%s address %d (0x%04X)", r.kind, r.address, r.address)
  end
  return r.kind
end

local function add_register(tree, r)
  tree:add(f.page, r.page):set_generated()
  tree:add(f.reg, r.reg):set_generated()
  local name = register_name(r.page, r.reg)
  if name then tree:add(f.reg_name, name):set_generated() end
end

local function dissect_frame(tvb, pinfo, tree)
  local r = decode_frame(tvb)
  if in_order(pinfo) then
    r.frame = pinfo.number
    newest_frame[connection(pinfo, true)] = r
    frames_seen[pinfo.number] = r
  elseif frames_seen[pinfo.number] then
    r.answer_frame = frames_seen[pinfo.number].answer_frame
  end

  local t = tree:add(kestrel, tvb(0, P.kFrameSize), "Kestrel frame: " .. describe(r))
  t:add(f.answer, false):set_generated()
  t:add(f.kind, r.kind):set_generated()
  t:add(f.opcode, tvb(P.kOffOpcode, 1))
  if r.reg then
    local word = tvb(P.kOffAddressLow, 2)
    local w = t:add_le(f.address_word, word)
    w:add(f.write, word, r.write)
    w:add(f.page, word, r.page)
    w:add(f.reg, word, r.reg)
    local name = register_name(r.page, r.reg)
    if name then t:add(f.reg_name, name):set_generated() end
    if r.write then t:add_le(f.value, tvb(P.kOffValueLow, 2)) end
  elseif r.opcode == P.kOpMemoryAndAux then
    t:add(f.sub_command, tvb(P.kOffSubCommand, 1))
    if r.address then
      t:add(f.mem_dir, tvb(P.kOffDirection, 1))
      t:add(f.block_len, tvb(P.kOffBlockLength, 1))
      t:add(f.selector, tvb(P.kOffSelector, 1))
      t:add_le(f.mem_addr, tvb(P.kOffMemoryAddress, 4))
      if r.kind == KIND_BLOCK_WRITE then t:add(f.block_data, tvb(P.kOffBlockData, P.kBlockSize)) end
    else
      t:add(f.aux_selector, tvb(P.kOffAuxSelector, 1))
      t:add(f.aux_arg1, tvb(P.kOffAuxArg1, 1))
      t:add(f.aux_arg2, tvb(P.kOffAuxArg2, 1))
    end
  end
  if r.answer_frame then t:add(f.answer_in, r.answer_frame):set_generated() end

  local info = describe(r)
  if r.write then info = info .. string.format(" = 0x%04X", r.value) end
  pinfo.cols.info:append(" " .. info .. ";")
end

-- Everything the board sent in this piece of the stream belongs to the newest
-- frame; TCP is asked for more segments until the host has what it needs.
local function dissect_answer(tvb, pinfo, tree)
  local seen = answers_seen[pinfo.number]
  if seen == nil and in_order(pinfo) then
    local r = newest_frame[connection(pinfo, false)]
    local got = r and (r.got or 0) or 0
    local needed = r and r.needed or 1
    if got < needed and tvb:len() < needed - got then
      answers_seen[pinfo.number] = PENDING
      pinfo.desegment_offset = 0
      pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
      return
    end
    seen = { request = r, offset = got }
    answers_seen[pinfo.number] = seen
    if r then
      r.got = got + tvb:len()
      r.answer_frame = r.answer_frame or pinfo.number
    end
  elseif seen == nil or seen == PENDING then
    -- A piece TCP keeps for reassembly, decoded with the packet that completes it.
    return
  end

  local r, offset = seen.request, seen.offset
  local t = tree:add(kestrel, tvb(), "Kestrel answer" .. (r and (" to " .. describe(r)) or ""))
  t:add(f.answer, true):set_generated()
  t:add(f.answer_data, tvb())
  t:add(f.answer_offset, offset):set_generated()
  if not r then
    t:add_proto_expert_info(e_orphan)
    pinfo.cols.info:append(" bytes before any frame;")
    return
  end
  t:add(f.kind, r.kind):set_generated()
  t:add(f.request_in, r.frame):set_generated()
  if offset > 0 then
    t:add_proto_expert_info(e_extra)
    pinfo.cols.info:append(" more answer bytes;")
    return
  end

  local info = "answer to " .. describe(r)
  if r.reg then
    add_register(t, r)
    if not r.write then
      local value = tvb(P.kRespValueLow, 2):le_uint()
      t:add_le(f.value, tvb(P.kRespValueLow, 2))
      info = info .. string.format(" = 0x%04X", value)
    end
  elseif r.kind == KIND_BLOCK_READ then
    t:add(f.mem_addr, r.address):set_generated()
    t:add(f.block_data, tvb(0, P.kBlockSize))
  end
  pinfo.cols.info:append(" " .. info .. ";")
end

function kestrel.dissector(tvb, pinfo, tree)
  if tvb:len() == 0 then return 0 end
  pinfo.cols.protocol = "KESTREL"
  pinfo.cols.info:set(pinfo.src_port == kestrel.prefs.port and "Board:" or "Host:")
  if pinfo.dst_port == kestrel.prefs.port then
    dissect_tcp_pdus(tvb, tree, 1, function() return P.kFrameSize end, dissect_frame)
  else
    dissect_answer(tvb, pinfo, tree)
  end
  return tvb:len()
end

-- The port is a preference so that a board (or emulator) on another port can be read too.
local registered_port
local function register_port()
  local tcp_port = DissectorTable.get("tcp.port")
  if registered_port then tcp_port:remove(registered_port, kestrel) end
  registered_port = kestrel.prefs.port
  tcp_port:add(registered_port, kestrel)
end
kestrel.prefs_changed = register_port
register_port()
