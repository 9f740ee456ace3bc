-- Wireshark dissector for the loader protocol that kesp speaks with a
-- target on TCP port 57000.
--
-- The stream has no framing: which bytes are a header, an address word, the
-- image or a reply follows only from what went before in the same
-- conversation, and the verdict's crc can only be checked against every
-- image byte sent so far. So each conversation is walked once, in frame
-- order, on the first pass that has TCP's fields; what every frame holds is
-- kept by frame number, and later passes (Wireshark dissects a frame again
-- whenever it is shown) only draw what was kept. Words and replies split
-- over segments are gathered here rather than through TCP's own
-- reassembly, which would hide the image's per-segment items and depends
-- on a TCP preference.
--
-- The walk itself (the CRC-32, the placing of segments by sequence number,
-- what a close means) needs nothing of Wireshark's, and run by a plain Lua
-- interpreter this file returns it as a table, so that it can be tested
-- under the Lua of every Wireshark release: 4.0 runs Lua 5.2, later ones 5.4.
--
-- Load it for one user with  tshark -X lua_script:kesp.lua  or by copying
-- it into ~/.local/lib/wireshark/plugins/.

local PORT = 57000
local WORD_SIZE = 4
local REPLY_SIZE = 18
local FLAG_NAND = 0x20000000
local FLAG_ADDRESS = 0x40000000
local FLAG_COMPARE = 0x80000000
local FLAG_MASK = 0xE0000000
local LENGTH_MASK = 0x1FFFFFFF
local ERR_COMPARE_FAILED = 4
-- The request words and the reply are a handful of bytes, so a client that
-- sent more than the two request words before any reply must be streaming
-- its image already.
local REQUEST_BYTES_MAX = 2 * WORD_SIZE
-- Image bytes kept back for the CRC-32 while a gap before them is open: a
-- segment that the capture lost never fills its gap, and the checksum is
-- given up rather than the image held.
local HELD_MAX = 4 * 1024 * 1024

local core = {}

-- Wireshark 4.0 runs Lua 5.2, whose bit operations are the bit32 library;
-- later Lua has operators instead, which 5.2 cannot even parse.
local band, bxor, rshift
if bit32 then
  band, bxor, rshift = bit32.band, bit32.bxor, bit32.rshift
else
  band, bxor, rshift = load([[return function(a, b) return a & b end,
    function(a, b) return a ~ b end, function(a, n) return a >> n end]])()
end

-- CRC-32 of IEEE 802.3, sliced: table k gives the register's change from a
-- byte k places before the end of a 16-byte block, so a block costs one
-- lookup a byte and two calls, where a byte at a time costs four calls a
-- byte. kesp keeps the register as zlib does (0 before any byte, the
-- complements taken inside), which the update does on entry and exit.
local POLYNOMIAL = 0xEDB88320
local SLICES = 16
local slices = {}
for k = 0, SLICES - 1 do slices[k] = {} end
for i = 0, 255 do
  local c = i
  for _ = 1, 8 do
    if band(c, 1) ~= 0 then c = bxor(rshift(c, 1), POLYNOMIAL) else c = rshift(c, 1) end
  end
  slices[0][i] = c
end
for k = 1, SLICES - 1 do
  local prev, this, first = slices[k - 1], slices[k], slices[0]
  for i = 0, 255 do this[i] = bxor(rshift(prev[i], 8), first[band(prev[i], 0xFF)]) end
end

local crc32_update
if bit32 then
  local byte = string.byte
  local t0, t1, t2, t3, t4, t5, t6, t7 = slices[0], slices[1], slices[2], slices[3],
    slices[4], slices[5], slices[6], slices[7]
  local t8, t9, t10, t11, t12, t13, t14, t15 = slices[8], slices[9], slices[10], slices[11],
    slices[12], slices[13], slices[14], slices[15]
  crc32_update = function(crc, s)
    local c = bxor(crc, 0xFFFFFFFF)
    local n = #s
    local i = 1
    while i + 15 <= n do
      local b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15, b16 =
        byte(s, i, i + 15)
      -- The first four bytes meet the register; the sum of the bytes and
      -- the remainders are exact in Lua 5.2's doubles.
      c = bxor(c, ((b4 * 256 + b3) * 256 + b2) * 256 + b1)
      local x1 = c % 256
      c = (c - x1) / 256
      local x2 = c % 256
      c = (c - x2) / 256
      local x3 = c % 256
      c = bxor(t15[x1], t14[x2], t13[x3], t12[(c - x3) / 256], t11[b5], t10[b6], t9[b7],
               t8[b8], t7[b9], t6[b10], t5[b11], t4[b12], t3[b13], t2[b14], t1[b15], t0[b16])
      i = i + 16
    end
    for j = i, n do c = bxor(rshift(c, 8), t0[bxor(c % 256, byte(s, j))]) end
    return bxor(c, 0xFFFFFFFF)
  end
else
  crc32_update = load([[
    local slices = ...
    local byte = string.byte
    local t0, t1, t2, t3, t4, t5, t6, t7 = slices[0], slices[1], slices[2], slices[3],
      slices[4], slices[5], slices[6], slices[7]
    local t8, t9, t10, t11, t12, t13, t14, t15 = slices[8], slices[9], slices[10], slices[11],
      slices[12], slices[13], slices[14], slices[15]
    return function(crc, s)
      local c = crc ~ 0xFFFFFFFF
      local n = #s
      local i = 1
      while i + 15 <= n do
        local b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15, b16 =
          byte(s, i, i + 15)
        c = c ~ (b1 | b2 << 8 | b3 << 16 | b4 << 24)
        c = t15[c & 0xFF] ~ t14[c >> 8 & 0xFF] ~ t13[c >> 16 & 0xFF] ~ t12[c >> 24] ~
            t11[b5] ~ t10[b6] ~ t9[b7] ~ t8[b8] ~ t7[b9] ~ t6[b10] ~ t5[b11] ~ t4[b12] ~
            t3[b13] ~ t2[b14] ~ t1[b15] ~ t0[b16]
        i = i + 16
      end
      for j = i, n do c = c >> 8 ~ t0[(c ~ byte(s, j)) & 0xFF] end
      return c ~ 0xFFFFFFFF
    end]])(slices)
end
assert(crc32_update(0, "123456789") == 0xCBF43926 and
       crc32_update(crc32_update(0, "12345678"), "9") == 0xCBF43926,
       "kesp: the CRC-32 tables are wrong")

-- The same checksum a byte at a time, the plain form the sliced one must
-- match.
local function crc32_bytewise(crc, s)
  local c = bxor(crc, 0xFFFFFFFF)
  for j = 1, #s do
    c = bxor(rshift(c, 8), slices[0][band(bxor(c, s:byte(j)), 0xFF)])
  end
  return bxor(c, 0xFFFFFFFF)
end

core.crc32_update, core.crc32_bytewise = crc32_update, crc32_bytewise

-- Sequence numbers are compared modulo 2^32: with relative numbers turned
-- off they are the stack's own, which may wrap in the middle of an image.
local TWO_32, TWO_31 = 4294967296, 2147483648
local function seq_add(a, n) return (a + n) % TWO_32 end
local function seq_diff(a, b) return (a - b + TWO_31) % TWO_32 - TWO_31 end
core.seq_add, core.seq_diff = seq_add, seq_diff

local function be32(s, at)
  local a, b, c, d = s:byte(at, at + 3)
  return ((a * 256 + b) * 256 + c) * 256 + d
end

local function signed32(value)
  if value >= TWO_31 then return value - TWO_32 end
  return value
end

local ERROR_TEXTS = {
  [0] = "no error", "reprogram error", "erase error", "invalid address",
  "compare failed", "invalid size", "no such device",
}

-- The magnitude picks the text; that of -2^31 does not fit 32 bits, and in
-- Lua's numbers it is simply too large for the table.
local function error_text(code)
  return ERROR_TEXTS[math.abs(code)] or "unknown error"
end
core.error_text = error_text

function core.new_conversation(known, check_crc)
  return {
    known = known,  -- seen from its SYN: the first bytes are the request
    client = { buf = "", parts = {}, stage = known and "header" or "unknown" },
    target = { buf = "", parts = {}, replies = 0 },
    length = nil,
    done = 0,   -- image bytes in order from the first, all in the CRC-32
    reach = 0,  -- the furthest image byte sent, gaps or not
    held = {},  -- placed beyond a gap: { at, len, data } by offset
    held_bytes = 0,
    crc = 0, crc_ok = known and check_crc, unplaced = 0,
    verdict = false, refused = nil, told = false,
  }
end

-- The SYN takes one sequence number; the first byte of data is next.
function core.syn(conv, from_target, seq)
  local side = from_target and conv.target or conv.client
  if seq then side.next_seq = seq_add(seq, 1) end
end

-- Takes up to a word's or a reply's worth of bytes into side.buf; returns
-- the bytes taken and the whole record once it is complete, with the
-- frames that held it.
local function gather(side, data, pos, size, frame)
  local take = math.min(size - #side.buf, #data - pos + 1)
  side.buf = side.buf .. data:sub(pos, pos + take - 1)
  side.parts[#side.parts + 1] = frame
  if #side.buf < size then return take, nil end
  local whole, parts = side.buf, side.parts
  side.buf, side.parts = "", {}
  return take, whole, parts
end

local function give_up_crc(conv)
  conv.crc_ok = false
  for _, h in ipairs(conv.held) do h.data = nil end
  conv.held_bytes = 0
end

-- Folds the held segments that the bytes in order have now reached.
local function drain(conv)
  local held = conv.held
  while held[1] and held[1].at <= conv.done do
    local h = table.remove(held, 1)
    local from = conv.done - h.at
    if from < h.len then
      if conv.crc_ok then conv.crc = crc32_update(conv.crc, h.data:sub(from + 1)) end
      conv.done = h.at + h.len
    end
    if h.data then conv.held_bytes = conv.held_bytes - h.len end
  end
  local next_seq = seq_add(conv.image_seq, conv.done)
  if seq_diff(next_seq, conv.client.next_seq) > 0 then conv.client.next_seq = next_seq end
end

local function client_bytes(conv, recs, data, off, seq, frame)
  local c = conv.client
  local pos = 1
  while pos <= #data do
    local rest = #data - pos + 1
    local at = off + pos - 1
    if c.stage == "header" or c.stage == "address" then
      local take, word, parts = gather(c, data, pos, WORD_SIZE, frame)
      if not word then
        recs[#recs + 1] = { t = "partial", off = at, n = take, have = #c.buf, size = WORD_SIZE }
      elseif c.stage == "header" then
        local value = be32(word, 1)
        conv.flags, conv.length = band(value, FLAG_MASK), band(value, LENGTH_MASK)
        recs[#recs + 1] = { t = "header", off = at, n = take, raw = word, parts = parts }
        c.stage = band(value, FLAG_ADDRESS) ~= 0 and "address" or "image"
      else
        recs[#recs + 1] = { t = "address", off = at, n = take, raw = word, parts = parts }
        c.stage = "image"
      end
      if c.stage == "image" and seq then conv.image_seq = seq_add(seq, pos + take - 1) end
      pos = pos + take
    elseif c.stage == "image" and conv.done < conv.length then
      local take = math.min(conv.length - conv.done, rest)
      if conv.crc_ok then
        conv.crc = crc32_update(conv.crc, take == #data and data or data:sub(pos, pos + take - 1))
      end
      conv.done = conv.done + take
      conv.reach = math.max(conv.reach, conv.done)
      recs[#recs + 1] = { t = "image", off = at, n = take, first = conv.done - take,
                          sent = conv.reach, length = conv.length }
      pos = pos + take
    elseif conv.verdict then
      recs[#recs + 1] = { t = "after", off = at, n = rest }
      pos = pos + rest
    elseif c.stage == "image" then
      recs[#recs + 1] = { t = "excess", off = at, n = rest, length = conv.length }
      pos = pos + rest
    else
      -- Mid-conversation: where these bytes stand in the image is unknown.
      recs[#recs + 1] = { t = "image", off = at, n = rest }
      conv.unplaced = conv.unplaced + rest
      pos = pos + rest
    end
  end
end

-- Image bytes beyond a gap (a segment that comes later, or never: the
-- capture lost it) go where their sequence number puts them; their CRC-32
-- waits until the gap is filled.
local function place_ahead(conv, recs, data, seq)
  local at = seq_diff(seq, conv.image_seq)
  local n = #data
  for _, h in ipairs(conv.held) do
    if h.at == at and h.len == n then
      recs[#recs + 1] = { t = "seen", off = 0, n = n }
      return
    end
  end
  local inside = math.max(0, math.min(n, conv.length - at))
  if inside > 0 then
    conv.reach = math.max(conv.reach, at + inside)
    recs[#recs + 1] = { t = "image", off = 0, n = inside, first = at, sent = conv.reach,
                        length = conv.length, ahead = true }
    local h = { at = at, len = inside }
    if conv.crc_ok then
      if conv.held_bytes + inside > HELD_MAX then
        give_up_crc(conv)
      else
        h.data = data:sub(1, inside)
        conv.held_bytes = conv.held_bytes + inside
      end
    end
    local i = #conv.held + 1
    while i > 1 and conv.held[i - 1].at > at do i = i - 1 end
    table.insert(conv.held, i, h)
  end
  if inside < n then
    recs[#recs + 1] = { t = conv.verdict and "after" or "excess", off = inside, n = n - inside,
                        length = conv.length }
  end
end

local function client_segment(conv, recs, data, seq, frame)
  local c = conv.client
  local n = #data
  if conv.target_closed and not conv.half_told then
    conv.half_told = true
    recs[#recs + 1] = { t = "half", sent = conv.target_closed.sent,
                        length = conv.target_closed.length }
  end
  local skip = 0
  if seq and c.next_seq then
    local d = seq_diff(seq, c.next_seq)
    if d < 0 then
      skip = math.min(n, -d)
    elseif d > 0 then
      if c.stage == "image" and conv.image_seq and conv.length then
        place_ahead(conv, recs, data, seq)
        return
      end
      -- Lost bytes of the request: what follows cannot be placed.
      if c.stage ~= "unknown" then c.stage, c.buf, c.parts = "unknown", "", {} end
      give_up_crc(conv)
    end
  end
  if skip > 0 then recs[#recs + 1] = { t = "seen", off = 0, n = skip } end
  if skip < n then
    local from = seq and seq_add(seq, skip)
    client_bytes(conv, recs, skip == 0 and data or data:sub(skip + 1), skip, from, frame)
    if from then c.next_seq = seq_add(from, n - skip) end
  end
  if conv.held[1] then drain(conv) end
end

local function target_segment(conv, recs, data, seq, frame)
  local s = conv.target
  local n = #data
  local skip = 0
  if seq and s.next_seq then
    local d = seq_diff(seq, s.next_seq)
    if d < 0 then skip = math.min(n, -d) end
    -- A lost part of a reply leaves the rest of it meaningless.
    if d > 0 then s.buf, s.parts = "", {} end
  end
  if seq and skip < n then s.next_seq = seq_add(seq, n) end
  if skip > 0 then recs[#recs + 1] = { t = "seen", off = 0, n = skip } end
  local pos = skip + 1
  while pos <= n do
    local at = pos - 1
    if conv.verdict then
      recs[#recs + 1] = { t = "after", off = at, n = n - pos + 1 }
      return
    end
    local take, reply, parts = gather(s, data, pos, REPLY_SIZE, frame)
    pos = pos + take
    if not reply then
      recs[#recs + 1] = { t = "partial", off = at, n = take, have = #s.buf, size = REPLY_SIZE }
    else
      local position
      if conv.known then
        position = s.replies == 0 and "first" or "final"
      elseif s.replies > 0 or conv.unplaced > REQUEST_BYTES_MAX then
        position = "final"
      else
        position = "unknown"
      end
      s.replies = s.replies + 1
      local code = signed32(be32(reply, 3))
      local rec = { t = "reply", off = at, n = take, raw = reply, parts = parts,
                    position = position, code = code }
      if position == "first" and code ~= 0 then conv.refused = code end
      if position == "final" then
        conv.verdict = true
        rec.refused = conv.refused
        rec.compare = conv.flags and band(conv.flags, FLAG_COMPARE) ~= 0
        if conv.known and conv.length then
          rec.sent, rec.length = conv.reach, conv.length
          if conv.crc_ok and conv.done == conv.reach then rec.image_crc = conv.crc end
        end
      end
      recs[#recs + 1] = rec
    end
  end
end

-- One segment's records, in order: what its bytes are, from the first
-- pass over the conversation.
function core.segment(conv, to_target, data, seq, frame)
  local recs = {}
  if to_target then
    client_segment(conv, recs, data, seq, frame)
  else
    target_segment(conv, recs, data, seq, frame)
  end
  return recs
end

-- What a FIN or RST means, once per conversation: a reply cut short; an
-- unfinished image, told by who left it; or a client that wanted no image
-- after the first reply, which kesp-batch --expect-id does on purpose. Nil
-- when there is nothing to tell, after a verdict or a refusal too: the
-- reply said why the connection ends.
function core.close(conv, by_target, reset)
  if conv.told then return nil end
  local t = conv.target
  if (by_target or reset) and #t.buf > 0 then
    conv.told = true
    return { t = "cut", raw = t.buf }
  end
  if conv.verdict or conv.refused or not conv.known then return nil end
  if not conv.length or conv.client.stage ~= "image" or conv.reach >= conv.length then
    return nil
  end
  conv.told = true
  if by_target then
    conv.target_closed = { sent = conv.reach, length = conv.length }
    return { t = "target_closed", sent = conv.reach, length = conv.length }
  end
  if conv.reach == 0 and t.replies > 0 then
    return { t = "before_image", length = conv.length }
  end
  return { t = "short", sent = conv.reach, length = conv.length }
end

-- Run outside Wireshark (by a test): the logic is all there is.
if not (Proto and register_postdissector) then return core end

-- Wireshark loads a user's plugins and a -X lua_script alike; the second
-- copy finds the protocol registered and leaves it to the first.
local loaded, p_kesp = pcall(Proto, "kesp", "kesp loader protocol")
if not loaded then return end

local REPLY_POSITIONS = { [0] = "Unknown", [1] = "First", [2] = "Final" }
local POSITION_VALUES = { unknown = 0, first = 1, final = 2 }
local ERROR_VALUES = {}
for code = 0, #ERROR_TEXTS do ERROR_VALUES[code] = ERROR_TEXTS[code] end
-- Negative codes read like their magnitude, but a filter's text must name
-- one value.
for code = 1, #ERROR_TEXTS do ERROR_VALUES[-code] = ERROR_TEXTS[code] .. ", negative" end

local pf = {
  header = ProtoField.uint32("kesp.header", "Header", base.HEX),
  compare = ProtoField.bool("kesp.flags.compare", "Compare, Do Not Program", 32, nil, FLAG_COMPARE),
  address_flag = ProtoField.bool("kesp.flags.address", "Address Follows", 32, nil, FLAG_ADDRESS),
  nand = ProtoField.bool("kesp.flags.nand", "NAND Device", 32, nil, FLAG_NAND),
  length = ProtoField.uint32("kesp.length", "Image Length", base.DEC, nil, LENGTH_MASK),
  start = ProtoField.bool("kesp.start", "Start Request"),
  address = ProtoField.uint32("kesp.address", "Address", base.HEX),
  reply = ProtoField.uint8("kesp.reply", "Reply", base.DEC, REPLY_POSITIONS),
  flash_id = ProtoField.uint16("kesp.flash_id", "Flash ID", base.HEX),
  error = ProtoField.int32("kesp.error", "Error", base.DEC, ERROR_VALUES),
  reply_address = ProtoField.uint32("kesp.reply.address", "Reply Address", base.HEX),
  size = ProtoField.uint32("kesp.size", "Size", base.DEC),
  crc = ProtoField.uint32("kesp.crc", "CRC", base.HEX),
  image_crc = ProtoField.uint32("kesp.image_crc", "CRC-32 of the Image Bytes Sent", base.HEX),
  image_sent = ProtoField.uint32("kesp.image_sent", "Image Bytes Sent", base.DEC),
  image = ProtoField.bytes("kesp.image", "Image"),
  image_offset = ProtoField.uint32("kesp.image_offset", "Offset in the Image", base.DEC),
  after_gap = ProtoField.bool("kesp.after_gap", "After a Gap, Placed by Sequence Number"),
  partial = ProtoField.uint32("kesp.partial", "Part of a Word or Reply", base.DEC),
  fragment = ProtoField.framenum("kesp.fragment", "Segment"),
  excess = ProtoField.uint32("kesp.excess", "Bytes Beyond the Announced Length", base.DEC),
  after = ProtoField.uint32("kesp.after_verdict", "Bytes After the Verdict", base.DEC),
  seen = ProtoField.uint32("kesp.retransmitted", "Bytes Seen Before", base.DEC),
}
p_kesp.fields = pf

local ef = {
  error_reply = ProtoExpert.new("kesp.expert.error_reply", "Target reported an error",
                                expert.group.RESPONSE_CODE, expert.severity.WARN),
  compare_failed = ProtoExpert.new("kesp.expert.compare_failed", "Flash differs from the image",
                                   expert.group.RESPONSE_CODE, expert.severity.NOTE),
  refused = ProtoExpert.new("kesp.expert.refused", "Target refused the request",
                            expert.group.RESPONSE_CODE, expert.severity.WARN),
  crc_mismatch = ProtoExpert.new("kesp.expert.crc_mismatch",
                                 "Verdict crc differs from the image bytes sent",
                                 expert.group.CHECKSUM, expert.severity.ERROR),
  early_verdict = ProtoExpert.new("kesp.expert.early_verdict",
                                  "Verdict before the whole image went out",
                                  expert.group.SEQUENCE, expert.severity.WARN),
  short_image = ProtoExpert.new("kesp.expert.short_image",
                                "Client closed with the image shorter than announced",
                                expert.group.SEQUENCE, expert.severity.WARN),
  target_closed = ProtoExpert.new("kesp.expert.target_closed",
                                  "Target closed its side mid-image",
                                  expert.group.SEQUENCE, expert.severity.WARN),
  half_closed = ProtoExpert.new("kesp.expert.half_closed",
                                "The client went on sending after the target closed its side",
                                expert.group.SEQUENCE, expert.severity.CHAT),
  before_image = ProtoExpert.new("kesp.expert.before_image",
                                 "Client closed after the first reply, before any image byte",
                                 expert.group.SEQUENCE, expert.severity.NOTE),
  cut_reply = ProtoExpert.new("kesp.expert.cut_reply", "Reply cut short",
                              expert.group.SEQUENCE, expert.severity.WARN),
  after_verdict = ProtoExpert.new("kesp.expert.after_verdict", "Bytes after the verdict",
                                  expert.group.PROTOCOL, expert.severity.WARN),
  excess = ProtoExpert.new("kesp.expert.excess_image", "More image bytes than announced",
                           expert.group.PROTOCOL, expert.severity.WARN),
  mid = ProtoExpert.new("kesp.expert.mid_conversation", "Capture began mid-conversation",
                        expert.group.SEQUENCE, expert.severity.CHAT),
}
p_kesp.experts = ef

p_kesp.prefs.check_crc = Pref.bool("Check the verdict's CRC-32", true,
  "Compute the CRC-32 of the image bytes sent, to hold it against the verdict's crc; " ..
  "turned off, a capture of large images opens faster")

local f_stream = Field.new("tcp.stream")
local f_seq = Field.new("tcp.seq")
local f_flags = Field.new("tcp.flags")
local f_payload = Field.new("tcp.payload")
local TCP_FIN, TCP_SYN, TCP_RST = 0x01, 0x02, 0x04

-- Per capture: conversations by TCP stream number, what the walk found in
-- each frame by frame number, and what a close told.
local conversations, frames, closes

-- The frame that TCP last handed to the dissector, for the postdissector
-- to see which segments it held back.
local handed

-- The last frame walked by each: a frame that was passed over (no fields
-- then) is not walked later out of order, which would corrupt the state.
local last_walked, last_closed

local function forget_all()
  conversations, frames, closes = {}, {}, {}
  last_walked, last_closed = 0, 0
end
forget_all()
-- Called whenever Wireshark dissects the capture again from the start,
-- a preference changed included.
p_kesp.init = forget_all

local function field_value(f)
  local info = f()
  return info and info.value
end

local function new_conversation(stream, known)
  local conv = core.new_conversation(known, p_kesp.prefs.check_crc)
  conversations[stream] = conv
  return conv
end

-- First pass over one segment: its records, in order.
local function walk(tvb, pinfo, stream)
  local conv = conversations[stream]
  local mid
  if not conv then
    conv = new_conversation(stream, false)
    mid = true
  end
  local recs = core.segment(conv, pinfo.dst_port == PORT, tvb:raw(), field_value(f_seq),
                            pinfo.number)
  if mid then table.insert(recs, 1, { t = "mid" }) end
  return recs
end

-- The bytes of a word or reply: this segment's own when it holds all of
-- them, else a tab of their own, as Wireshark shows reassembled data.
local function record_range(tvb, rec, title)
  if rec.n == #rec.raw then return tvb(rec.off, rec.n) end
  return ByteArray.new(rec.raw, true):tvb(title)()
end

local function add_fragments(item, rec, r)
  if #rec.parts < 2 then return end
  for _, frame in ipairs(rec.parts) do item:add(pf.fragment, r, frame):set_generated() end
end

-- The reply's fields that the bytes at hand hold: all of a whole reply,
-- the first of one cut short.
local function reply_fields(item, r, have)
  if have >= 2 then item:add(pf.flash_id, r(0, 2)) end
  if have >= 6 then item:add(pf.error, r(2, 4)) end
  if have >= 10 then item:add(pf.reply_address, r(6, 4)) end
  if have >= 14 then item:add(pf.size, r(10, 4)) end
  if have >= 18 then return item:add(pf.crc, r(14, 4)) end
end

local function show_reply(tvb, tree, rec, info)
  local r = record_range(tvb, rec, "Reassembled reply")
  local item = tree:add(pf.reply, r, POSITION_VALUES[rec.position])
  if rec.n < REPLY_SIZE then
    item:append_text(string.format(" (gathered from segments; %d bytes in this one)", rec.n))
  end
  add_fragments(item, rec, r)
  local crc_item = reply_fields(item, r, REPLY_SIZE)
  local code, text = rec.code, error_text(rec.code)
  local label = rec.position == "final" and "Verdict" or
                rec.position == "first" and "First reply" or "Reply (first or final)"
  local flash_id = rec.raw:byte(1) * 256 + rec.raw:byte(2)
  info[#info + 1] = string.format("%s: flash ID 0x%04x, %s", label, flash_id, text)
  local early = rec.sent and rec.sent < rec.length
  if rec.position == "first" then
    if code ~= 0 then
      item:add_proto_expert_info(ef.refused, string.format(
        "Target refused the request: %s (%d)", text, code))
    end
  elseif early then
    -- The early verdict is one event, whatever its error says.
    item:add_proto_expert_info(ef.early_verdict, string.format(
      "Verdict before the whole image went out: %s (%d), %d of %d bytes sent", text, code,
      rec.sent, rec.length))
  elseif code ~= 0 and code ~= rec.refused then
    if code == ERR_COMPARE_FAILED and rec.compare then
      item:add_proto_expert_info(ef.compare_failed, string.format(
        "Flash differs from the image: %s (%d)", text, code))
    else
      item:add_proto_expert_info(ef.error_reply, string.format(
        "Target reported an error: %s (%d)", text, code))
    end
  end
  if rec.position ~= "final" then return end
  local crc = be32(rec.raw, 15)
  if rec.image_crc then
    crc_item:append_text(rec.image_crc == crc and " (matches the image bytes sent)"
                         or " (differs from the image bytes sent)")
    item:add(pf.image_crc, r(14, 4), rec.image_crc):set_generated()
    if rec.image_crc ~= crc then
      item:add_proto_expert_info(ef.crc_mismatch, string.format(
        "Verdict crc 0x%08x differs from 0x%08x, the CRC-32 of the image bytes sent", crc,
        rec.image_crc))
    end
  end
  if rec.sent then item:add(pf.image_sent, r(10, 4), rec.sent):set_generated() end
end

local function show(tvb, tree, rec, info)
  local t = rec.t
  if t == "image" then
    local range = tvb(rec.off, rec.n)
    local item = tree:add(pf.image, range)
    if rec.first then
      item:append_text(string.format(" (%d to %d of %d)", rec.first, rec.first + rec.n - 1,
                                     rec.length))
      item:add(pf.image_offset, range, rec.first):set_generated()
      item:add(pf.image_sent, range, rec.sent):set_generated()
      if rec.ahead then
        item:add(pf.after_gap, range, true):set_generated()
        info[#info + 1] = string.format("Image: %d bytes at %d, after a gap", rec.n, rec.first)
      else
        info[#info + 1] = string.format("Image: %d bytes, %d of %d sent", rec.n, rec.sent,
                                        rec.length)
      end
    else
      item:append_text(" (place in the image unknown)")
      info[#info + 1] = string.format("Image: %d bytes", rec.n)
    end
  elseif t == "reply" then
    show_reply(tvb, tree, rec, info)
  elseif t == "mid" then
    tree:add_proto_expert_info(ef.mid, "Capture began mid-conversation: its request was not seen")
  elseif t == "header" then
    local r = record_range(tvb, rec, "Reassembled header word")
    local value = be32(rec.raw, 1)
    local item = tree:add(pf.header, r)
    item:add(pf.compare, r)
    item:add(pf.address_flag, r)
    item:add(pf.nand, r)
    item:add(pf.length, r)
    add_fragments(item, rec, r)
    if value == 0 then
      tree:add(pf.start, r, true)
      info[#info + 1] = "Start request"
    else
      local mode = band(value, FLAG_COMPARE) ~= 0 and "compare" or "update"
      local device = band(value, FLAG_NAND) ~= 0 and " NAND" or ""
      info[#info + 1] = string.format("Request: %s%s, %d bytes", mode, device,
                                      band(value, LENGTH_MASK))
    end
  elseif t == "address" then
    local r = record_range(tvb, rec, "Reassembled address word")
    add_fragments(tree:add(pf.address, r), rec, r)
    info[#info + 1] = string.format("Address 0x%x", be32(rec.raw, 1))
  elseif t == "partial" then
    tree:add(pf.partial, tvb(rec.off, rec.n), rec.n):append_text(
      string.format(" (%d of %d bytes so far)", rec.have, rec.size))
    info[#info + 1] = string.format("Part of a %s", rec.size == REPLY_SIZE and "reply" or "word")
  elseif t == "half" then
    tree:add_proto_expert_info(ef.half_closed, string.format(
      "Target closed its side after %d of %d image bytes; the client went on sending",
      rec.sent, rec.length))
  elseif t == "excess" then
    tree:add(pf.excess, tvb(rec.off, rec.n), rec.n):add_proto_expert_info(ef.excess,
      string.format("More image bytes than announced: %d beyond %d", rec.n, rec.length))
    info[#info + 1] = "Beyond the announced length"
  elseif t == "after" then
    tree:add(pf.after, tvb(rec.off, rec.n), rec.n):add_proto_expert_info(ef.after_verdict,
      string.format("Bytes after the verdict: %d", rec.n))
    info[#info + 1] = "After the verdict"
  elseif t == "seen" then
    tree:add(pf.seen, tvb(rec.off, rec.n), rec.n)
    info[#info + 1] = "Retransmission"
  end
end

local function show_close(tree, found, info)
  local t = found.t
  if t == "cut" then
    local r = ByteArray.new(found.raw, true):tvb("Partial reply")()
    tree:add_proto_expert_info(ef.cut_reply, string.format(
      "Reply cut short: %d of %d bytes", #found.raw, REPLY_SIZE))
    reply_fields(tree, r, #found.raw)
    info[#info + 1] = string.format("Reply cut short after %d bytes", #found.raw)
  elseif t == "target_closed" then
    tree:add_proto_expert_info(ef.target_closed, string.format(
      "Target closed its side after %d of %d image bytes", found.sent, found.length))
    info[#info + 1] = string.format("Target closed its side after %d of %d image bytes",
                                    found.sent, found.length)
  elseif t == "short" then
    tree:add_proto_expert_info(ef.short_image, string.format(
      "Client closed with the image shorter than announced: %d of %d bytes sent", found.sent,
      found.length))
    info[#info + 1] = string.format("Client closed after %d of %d image bytes", found.sent,
                                    found.length)
  elseif t == "before_image" then
    tree:add_proto_expert_info(ef.before_image, string.format(
      "Client closed after the first reply, before any of %d image bytes " ..
      "(as kesp-batch --expect-id does for another flash ID)", found.length))
    info[#info + 1] = "Client closed after the first reply"
  end
end

-- A frame is walked the first time it is dissected with TCP's fields at
-- hand, which is the first pass unless that pass builds no tree (tshark -2
-- does not), then the second; both go through the frames in order. The
-- close postdissector calls this with an empty buffer for a close it found,
-- so that what a close tells is KESP's too, in the tree and in filters.
function p_kesp.dissector(tvb, pinfo, tree)
  local number = pinfo.number
  local found = closes[number]
  if tvb:len() == 0 then
    if not found then return 0 end
    pinfo.cols.protocol = "KESP"
    local info = {}
    show_close(tree:add(p_kesp, tvb()), found, info)
    pinfo.cols.info = table.concat(info, "; ")
    return 0
  end
  handed = number
  local recs = frames[number]
  if recs == nil then
    local stream = field_value(f_stream)
    if stream == nil or number <= last_walked then return 0 end
    last_walked = number
    recs = walk(tvb, pinfo, stream)
    frames[number] = recs
  end
  pinfo.cols.protocol = "KESP"
  local info = {}
  local subtree = tree:add(p_kesp, tvb())
  for i = 1, #recs do show(tvb, subtree, recs[i], info) end
  pinfo.cols.info = table.concat(info, "; ")
  return tvb:len()
end

DissectorTable.get("tcp.port"):add(PORT, p_kesp)

-- SYN, FIN and RST segments carry no payload, so the dissector above never
-- sees them: a postdissector watches them for the conversations on the
-- port. A SYN says that the conversation is seen from its start; a close
-- is where an unfinished image or a cut reply shows.
local p_close = Proto("kesp_close", "kesp loader protocol, connection ends")
local kesp_dissector = Dissector.get("kesp")

-- Only SYN, FIN and RST segments are looked at further: this runs for
-- every frame of the capture.
local function closing(pinfo, flags)
  if band(flags, TCP_FIN + TCP_SYN + TCP_RST) == 0 then return nil end
  local stream = field_value(f_stream)
  if stream == nil then return nil end
  local conv = conversations[stream]
  local from_target = pinfo.src_port == PORT
  if band(flags, TCP_SYN) ~= 0 then
    conv = conv or new_conversation(stream, true)
    core.syn(conv, from_target, field_value(f_seq))
    return nil
  end
  if not conv then return nil end
  return core.close(conv, from_target, band(flags, TCP_RST) ~= 0)
end

function p_close.dissector(tvb, pinfo, tree)
  if pinfo.src_port ~= PORT and pinfo.dst_port ~= PORT then return end
  local number = pinfo.number
  -- TCP gives its subdissectors no segment that it takes for out of order
  -- or retransmitted (tcp.no_subdissector_on_error), yet an overtaken
  -- segment holds image bytes that the CRC-32 needs: its payload is
  -- handed over from here.
  if handed ~= number then
    local payload = f_payload()
    if payload then kesp_dissector:call(payload.range:tvb(), pinfo, tree) end
  end
  handed = nil
  local found = closes[number]
  if found == nil then
    if number <= last_closed then return end
    -- A pass without TCP's fields (tshark -2's first) leaves the frame
    -- for the next.
    local flags = field_value(f_flags)
    if flags == nil then return end
    last_closed = number
    found = closing(pinfo, flags) or false
    closes[number] = found
  end
  if found then kesp_dissector:call(tvb(0, 0):tvb(), pinfo, tree) end
end

register_postdissector(p_close)
