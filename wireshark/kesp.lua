-- Wireshark dissector for the loader protocol that kesp speaks with a
-- target on TCP port 57000.
--
-- The stream has no framing: which bytes are a header, an address word, the
-- image or a reply follows only from what went before in the same
-- conversation, and the verdict's crc can only be checked against every
-- image byte sent so far. So each conversation is walked once, in frame
-- order, on the first pass that has TCP's fields; what every frame holds is
-- kept by frame number, and later passes (Wireshark dissects a frame again
-- whenever it is shown) only draw what was kept. Words and replies split over segments are
-- gathered here rather than through TCP's own reassembly, which would hide
-- the image's per-segment items and depends on a TCP preference.
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
-- The request words and the reply are a handful of bytes, so a client that
-- sent more than the two request words before any reply must be streaming
-- its image already.
local REQUEST_BYTES_MAX = 2 * WORD_SIZE

-- Wireshark 4.0 runs Lua 5.2, whose bit operations are the bit32 library;
-- later Lua has operators instead, which 5.2 cannot even parse.
local band, bxor, rshift
if bit32 then
  band, bxor, rshift = bit32.band, bit32.bxor, bit32.rshift
else
  band, bxor, rshift = load([[return function(a, b) return a & b end,
    function(a, b) return a ~ b end, function(a, n) return a >> n end]])()
end

-- CRC-32 of IEEE 802.3 with both complements folded into the table, as kesp
-- keeps it: the register starts at 0 and the result needs no complement.
local POLYNOMIAL = 0xEDB88320
local FOLDED_COMPLEMENT = 0xD202EF8D
local crc32tab = {}
for i = 0, 255 do
  local c = i
  for _ = 1, 8 do
    if band(c, 1) ~= 0 then c = bxor(rshift(c, 1), POLYNOMIAL) else c = rshift(c, 1) end
  end
  crc32tab[i] = bxor(c, FOLDED_COMPLEMENT)
end
assert(crc32tab[0] == 0xD202EF8D and crc32tab[1] == 0xA505DF1B and
       crc32tab[254] == 0x88073096 and crc32tab[255] == 0xFF000000,
       "kesp: the folded CRC-32 table is wrong")

local BYTES_PER_UNPACK = 4096  -- string.byte returns its bytes on Lua's stack

local function crc32_update(crc, s)
  local tab, byte = crc32tab, string.byte
  for first = 1, #s, BYTES_PER_UNPACK do
    local bytes = { byte(s, first, first + BYTES_PER_UNPACK - 1) }
    for i = 1, #bytes do
      crc = bxor(rshift(crc, 8), tab[band(bxor(crc, bytes[i]), 0xFF)])
    end
  end
  return crc
end

local function be32(s, at)
  local a, b, c, d = s:byte(at, at + 3)
  return ((a * 256 + b) * 256 + c) * 256 + d
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

local p_kesp = Proto("kesp", "kesp loader protocol")

local pf = {
  header = ProtoField.uint32("kesp.header", "Header word", base.HEX),
  compare = ProtoField.bool("kesp.flags.compare", "Compare, do not program", 32, nil, FLAG_COMPARE),
  address_flag = ProtoField.bool("kesp.flags.address", "Address word follows", 32, nil, FLAG_ADDRESS),
  nand = ProtoField.bool("kesp.flags.nand", "NAND device", 32, nil, FLAG_NAND),
  length = ProtoField.uint32("kesp.length", "Image length", base.DEC, nil, LENGTH_MASK),
  start = ProtoField.bool("kesp.start", "Start request"),
  address = ProtoField.uint32("kesp.address", "Address word", base.HEX),
  reply = ProtoField.string("kesp.reply", "Reply"),
  flash_id = ProtoField.uint16("kesp.flash_id", "flash_id", base.HEX),
  error = ProtoField.int32("kesp.error", "error", base.DEC),
  error_text = ProtoField.string("kesp.error_text", "Error text"),
  addr = ProtoField.uint32("kesp.addr", "addr", base.HEX),
  size = ProtoField.uint32("kesp.size", "size", base.DEC),
  crc = ProtoField.uint32("kesp.crc", "crc", base.HEX),
  image_crc = ProtoField.uint32("kesp.image_crc", "CRC-32 of the image bytes sent", base.HEX),
  image_sent = ProtoField.uint32("kesp.image_sent", "Image bytes sent", base.DEC),
  image = ProtoField.uint32("kesp.image", "Image bytes", base.DEC),
  image_offset = ProtoField.uint32("kesp.image_offset", "Offset in the image", base.DEC),
  fragment = ProtoField.uint32("kesp.fragment", "Part of a word or reply", base.DEC),
  excess = ProtoField.uint32("kesp.excess", "Bytes beyond the announced length", base.DEC),
  after = ProtoField.uint32("kesp.after_verdict", "Bytes after the verdict", base.DEC),
  seen = ProtoField.uint32("kesp.retransmitted", "Bytes seen before (retransmission)", base.DEC),
}
p_kesp.fields = pf

local ef = {
  error_reply = ProtoExpert.new("kesp.expert.error_reply", "Target reported an error",
                                expert.group.RESPONSE_CODE, expert.severity.ERROR),
  crc_mismatch = ProtoExpert.new("kesp.expert.crc_mismatch",
                                 "Verdict crc differs from the image bytes sent",
                                 expert.group.CHECKSUM, expert.severity.ERROR),
  early_verdict = ProtoExpert.new("kesp.expert.early_verdict",
                                  "Verdict before the whole image went out",
                                  expert.group.SEQUENCE, expert.severity.WARN),
  short_image = ProtoExpert.new("kesp.expert.short_image",
                                "Connection closed with the image shorter than announced",
                                expert.group.SEQUENCE, expert.severity.ERROR),
  cut_reply = ProtoExpert.new("kesp.expert.cut_reply", "Reply cut short",
                              expert.group.MALFORMED, expert.severity.ERROR),
  after_verdict = ProtoExpert.new("kesp.expert.after_verdict", "Bytes after the verdict",
                                  expert.group.PROTOCOL, expert.severity.WARN),
  excess = ProtoExpert.new("kesp.expert.excess_image", "More image bytes than announced",
                           expert.group.PROTOCOL, expert.severity.WARN),
  mid = ProtoExpert.new("kesp.expert.mid_conversation", "Capture began mid-conversation",
                        expert.group.SEQUENCE, expert.severity.NOTE),
}
p_kesp.experts = ef

local f_stream = Field.new("tcp.stream")
local f_seq = Field.new("tcp.seq")
local f_syn = Field.new("tcp.flags.syn")
local f_fin = Field.new("tcp.flags.fin")
local f_rst = Field.new("tcp.flags.reset")

-- Per capture: conversations by TCP stream number, and what the walk found
-- in each frame by frame number.
local conversations, frames, closes

-- The last frame walked by each: a frame that was passed over (no fields
-- then) is not walked later out of order, which would corrupt the state.
local last_walked, last_closed

local function forget_all()
  conversations, frames, closes = {}, {}, {}
  last_walked, last_closed = 0, 0
end
forget_all()
-- Called whenever Wireshark dissects the capture again from the start.
p_kesp.init = forget_all

local function new_conversation(known)
  return {
    known = known,  -- seen from its SYN: the first bytes are the request
    client = { buf = "", stage = known and "header" or "unknown" },
    target = { buf = "", replies = 0 },
    length = nil, sent = 0, crc = 0, crc_ok = known, unplaced = 0,
    verdict = false,
  }
end

local function field_value(f)
  local info = f()
  return info and info.value
end

-- Bytes of this segment that a retransmission repeats are skipped; bytes
-- that the capture lost leave the CRC-32 unknown, and outside the image
-- the position in the exchange.
local function fresh_bytes(side, seq, n)
  if seq == nil then return 0, 0 end
  local skip, gap = 0, 0
  if side.next_seq then
    if seq < side.next_seq then skip = math.min(n, side.next_seq - seq) end
    if seq > side.next_seq then gap = seq - side.next_seq end
    side.next_seq = math.max(side.next_seq, seq + n)
  else
    side.next_seq = seq + n
  end
  return skip, gap
end

-- Takes up to a word's or a reply's worth of bytes into side.buf; returns
-- the bytes taken and the whole record once it is complete.
local function gather(side, data, pos, size)
  local take = math.min(size - #side.buf, #data - pos + 1)
  side.buf = side.buf .. data:sub(pos, pos + take - 1)
  if #side.buf < size then return take, nil end
  local whole = side.buf
  side.buf = ""
  return take, whole
end

local function client_bytes(conv, recs, data, off)
  local c = conv.client
  local pos = 1
  while pos <= #data do
    local rest = #data - pos + 1
    local at = off + pos - 1
    if c.stage == "header" or c.stage == "address" then
      local take, word = gather(c, data, pos, WORD_SIZE)
      if not word then
        recs[#recs + 1] = { t = "fragment", off = at, n = take, have = #c.buf, size = WORD_SIZE }
      elseif c.stage == "header" then
        local value = be32(word, 1)
        conv.flags, conv.length = band(value, FLAG_MASK), band(value, LENGTH_MASK)
        recs[#recs + 1] = { t = "header", off = at, n = take, raw = word }
        c.stage = band(value, FLAG_ADDRESS) ~= 0 and "address" or "image"
      else
        recs[#recs + 1] = { t = "address", off = at, n = take, raw = word }
        c.stage = "image"
      end
      pos = pos + take
    elseif c.stage == "image" and conv.sent < conv.length then
      local take = math.min(conv.length - conv.sent, rest)
      conv.crc = crc32_update(conv.crc, data:sub(pos, pos + take - 1))
      recs[#recs + 1] = { t = "image", off = at, n = take, first = conv.sent,
                          sent = conv.sent + take, length = conv.length }
      conv.sent = conv.sent + take
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

local function target_bytes(conv, recs, data, off)
  local s = conv.target
  local pos = 1
  while pos <= #data do
    local at = off + pos - 1
    if conv.verdict then
      recs[#recs + 1] = { t = "after", off = at, n = #data - pos + 1 }
      return
    end
    local take, reply = gather(s, data, pos, REPLY_SIZE)
    pos = pos + take
    if not reply then
      recs[#recs + 1] = { t = "fragment", off = at, n = take, have = #s.buf, size = REPLY_SIZE }
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
      local rec = { t = "reply", off = at, n = take, raw = reply, position = position }
      if position == "final" then
        conv.verdict = true
        if conv.known and conv.length then
          rec.sent, rec.length = conv.sent, conv.length
          if conv.crc_ok then rec.image_crc = conv.crc end
        end
      end
      recs[#recs + 1] = rec
    end
  end
end

-- First pass over one segment: its records, in order.
local function walk(tvb, pinfo)
  local stream = field_value(f_stream)
  local conv = conversations[stream]
  local recs = {}
  if not conv then
    conv = new_conversation(false)
    conversations[stream] = conv
    recs[1] = { t = "mid" }
  end
  local to_target = pinfo.dst_port == PORT
  local side = to_target and conv.client or conv.target
  local n = tvb:len()
  local skip, gap = fresh_bytes(side, field_value(f_seq), n)
  if gap > 0 then
    if to_target and side.stage == "image" and conv.length then
      local lost = math.min(gap, conv.length - conv.sent)
      conv.sent, conv.crc_ok = conv.sent + lost, false
    elseif to_target then
      side.stage, side.buf, conv.crc_ok = "unknown", "", false
    else
      side.buf = ""
    end
  end
  if skip > 0 then recs[#recs + 1] = { t = "seen", off = 0, n = skip } end
  if skip < n then
    local data = tvb:raw(skip, n - skip)
    if to_target then client_bytes(conv, recs, data, skip) else target_bytes(conv, recs, data, skip) end
  end
  return recs
end

-- The bytes of a word or reply: this segment's own when it holds all of
-- them, else a tab of their own, as Wireshark shows reassembled data.
local function record_range(tvb, rec, title)
  if rec.n == #rec.raw then return tvb(rec.off, rec.n) end
  return ByteArray.new(rec.raw, true):tvb(title)()
end

local function signed32(value)
  if value >= 0x80000000 then return value - 0x100000000 end
  return value
end

local function show_reply(tvb, tree, rec, info)
  local r = record_range(tvb, rec, "Reassembled reply")
  local item = tree:add(pf.reply, r, rec.position)
  if rec.n < REPLY_SIZE then
    item:append_text(string.format(" (gathered from segments; %d bytes in this one)", rec.n))
  end
  item:add(pf.flash_id, r(0, 2))
  local code = signed32(be32(rec.raw, 3))
  local text = error_text(code)
  item:add(pf.error, r(2, 4)):append_text(" (" .. text .. ")")
  item:add(pf.error_text, r(2, 4), text):set_generated()
  item:add(pf.addr, r(6, 4))
  item:add(pf.size, r(10, 4))
  local crc = be32(rec.raw, 15)
  local crc_item = item:add(pf.crc, r(14, 4))
  local label = rec.position == "final" and "Verdict" or
                rec.position == "first" and "First reply" or "Reply (first or final)"
  local flash_id = rec.raw:byte(1) * 256 + rec.raw:byte(2)
  info[#info + 1] = string.format("%s: flash_id 0x%04x, %s", label, flash_id, text)
  if code ~= 0 then
    item:add_proto_expert_info(ef.error_reply,
      string.format("Target reported an error: %s (%d)", text, code))
  end
  if rec.position ~= "final" then return end
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
  if rec.sent then
    item:add(pf.image_sent, r(10, 4), rec.sent):set_generated()
    if rec.sent < rec.length then
      item:add_proto_expert_info(ef.early_verdict, string.format(
        "Verdict before the whole image went out: %d of %d bytes sent", rec.sent, rec.length))
    end
  end
end

local function show(tvb, tree, rec, info)
  if rec.t == "mid" then
    tree:add_proto_expert_info(ef.mid, "Capture began mid-conversation: its request was not seen")
  elseif rec.t == "header" then
    local r = record_range(tvb, rec, "Reassembled header word")
    local value = be32(rec.raw, 1)
    local item = tree:add(pf.header, r)
    item:add(pf.compare, r)
    item:add(pf.address_flag, r)
    item:add(pf.nand, r)
    item:add(pf.length, r)
    if value == 0 then
      tree:add(pf.start, r, true)
      info[#info + 1] = "Start request"
    else
      local mode = band(value, FLAG_COMPARE) ~= 0 and "compare" or "update"
      local device = band(value, FLAG_NAND) ~= 0 and " NAND" or ""
      info[#info + 1] = string.format("Request: %s%s, %d bytes", mode, device,
                                      band(value, LENGTH_MASK))
    end
  elseif rec.t == "address" then
    local r = record_range(tvb, rec, "Reassembled address word")
    tree:add(pf.address, r)
    info[#info + 1] = string.format("Address 0x%x", be32(rec.raw, 1))
  elseif rec.t == "fragment" then
    tree:add(pf.fragment, tvb(rec.off, rec.n), rec.n):append_text(
      string.format(" (%d of %d bytes so far)", rec.have, rec.size))
    info[#info + 1] = string.format("Part of a %s", rec.size == REPLY_SIZE and "reply" or "word")
  elseif rec.t == "image" then
    local item = tree:add(pf.image, tvb(rec.off, rec.n), rec.n)
    if rec.first then
      item:append_text(string.format(" (%d to %d of %d)", rec.first, rec.sent - 1, rec.length))
      item:add(pf.image_offset, tvb(rec.off, rec.n), rec.first):set_generated()
      item:add(pf.image_sent, tvb(rec.off, rec.n), rec.sent):set_generated()
      info[#info + 1] = string.format("Image: %d bytes, %d of %d sent", rec.n, rec.sent, rec.length)
    else
      item:append_text(" (place in the image unknown)")
      info[#info + 1] = string.format("Image: %d bytes", rec.n)
    end
  elseif rec.t == "reply" then
    show_reply(tvb, tree, rec, info)
  elseif rec.t == "excess" then
    tree:add(pf.excess, tvb(rec.off, rec.n), rec.n):add_proto_expert_info(ef.excess,
      string.format("More image bytes than announced: %d beyond %d", rec.n, rec.length))
    info[#info + 1] = "Beyond the announced length"
  elseif rec.t == "after" then
    tree:add(pf.after, tvb(rec.off, rec.n), rec.n):add_proto_expert_info(ef.after_verdict,
      string.format("Bytes after the verdict: %d", rec.n))
    info[#info + 1] = "After the verdict"
  elseif rec.t == "seen" then
    tree:add(pf.seen, tvb(rec.off, rec.n), rec.n)
    info[#info + 1] = "Retransmission"
  end
end

-- A frame is walked the first time it is dissected with TCP's fields at
-- hand, which is the first pass unless that pass builds no tree (tshark -2
-- does not), then the second; both go through the frames in order.
function p_kesp.dissector(tvb, pinfo, tree)
  if tvb:len() == 0 then return 0 end
  local recs = frames[pinfo.number]
  if recs == nil then
    if field_value(f_stream) == nil or pinfo.number <= last_walked then return 0 end
    last_walked = pinfo.number
    recs = walk(tvb, pinfo)
    frames[pinfo.number] = recs
  end
  pinfo.cols.protocol = "KESP"
  local info = {}
  local subtree = tree:add(p_kesp, tvb())
  for _, rec in ipairs(recs) do show(tvb, subtree, rec, info) end
  pinfo.cols.info = table.concat(info, "; ")
  return tvb:len()
end

DissectorTable.get("tcp.port"):add(PORT, p_kesp)

-- SYN, FIN and RST segments carry no payload, so the dissector above never
-- sees them: a postdissector of its own watches them for the conversations
-- on the port. A SYN says that the conversation is seen from its start; the
-- first close is where an unfinished image or a cut reply shows.
local p_close = Proto("kesp_close", "kesp loader protocol, connection ends")

local function closing(pinfo)
  local stream = field_value(f_stream)
  local conv = conversations[stream]
  if field_value(f_syn) then
    if not conv then
      conv = new_conversation(true)
      conversations[stream] = conv
    end
    -- The SYN takes one sequence number; the first byte of data is next.
    local seq = field_value(f_seq)
    local side = pinfo.src_port == PORT and conv.target or conv.client
    if seq then side.next_seq = seq + 1 end
    return nil
  end
  if not conv or not (field_value(f_fin) or field_value(f_rst)) then return nil end
  local found = {}
  if conv.known and not conv.short_told and conv.length and conv.client.stage == "image"
     and conv.sent < conv.length then
    conv.short_told = true
    found.short = { sent = conv.sent, length = conv.length }
  end
  local by_target = pinfo.src_port == PORT
  if (by_target or field_value(f_rst)) and not conv.cut_told and #conv.target.buf > 0 then
    conv.cut_told = true
    found.cut = #conv.target.buf
  end
  if found.short or found.cut then return found end
  return nil
end

function p_close.dissector(tvb, pinfo, tree)
  if field_value(f_stream) == nil or (pinfo.src_port ~= PORT and pinfo.dst_port ~= PORT) then
    return
  end
  if closes[pinfo.number] == nil then
    if pinfo.number <= last_closed then return end
    last_closed = pinfo.number
    closes[pinfo.number] = closing(pinfo) or false
  end
  local found = closes[pinfo.number]
  if not found then return end
  local item = tree:add(p_kesp, tvb(0, 0))
  if found.short then
    item:add_proto_expert_info(ef.short_image, string.format(
      "Connection closed with the image shorter than announced: %d of %d bytes sent",
      found.short.sent, found.short.length))
  end
  if found.cut then
    item:add_proto_expert_info(ef.cut_reply, string.format(
      "Reply cut short: %d of %d bytes", found.cut, REPLY_SIZE))
  end
end

register_postdissector(p_close)
