-- The Wireshark dissector's own logic under a plain Lua interpreter (Lua
-- 5.4 as Wireshark 4.2 and later embed it, without bit32): the sliced
-- CRC-32 against known checksums and the plain one, sequence numbers
-- across 2^32, and segments walked in and out of order, lost, sent again
-- and cut off, through the functions the dissector itself calls.
-- usage: lua5.4 wireshark_logic_test.lua KESP_LUA
local core = dofile(arg[1])
local failures = 0
local function check(ok, what)
  if not ok then
    failures = failures + 1
    print("FAIL: " .. what)
  end
end
check(type(core) == "table" and core.segment, "kesp.lua does not return its logic outside Wireshark")
check(bit32 == nil or _VERSION ~= "Lua 5.4", "this interpreter has bit32: the other branch goes untested")

-- The loader_pcap.py generator's image bytes.
local function image(n, from)
  local t = {}
  for i = from or 0, (from or 0) + n - 1 do t[#t + 1] = string.char((7 * i + 3) % 256) end
  return table.concat(t)
end

-- Checksums from zlib: the dissector's must agree with the world's.
for _, row in ipairs({
  { "", 0 }, { "123456789", 0xCBF43926 }, { string.rep("\0", 32), 0x190A55AD },
  { "The quick brown fox jumps over the lazy dog", 0x414FA339 },
  { image(300), 0xDE0E57CE }, { image(100000), 0xF730CAA8 },
}) do
  check(core.crc32_update(0, row[1]) == row[2],
        string.format("crc32 of %d bytes: 0x%08x, want 0x%08x", #row[1],
                      core.crc32_update(0, row[1]), row[2]))
end
-- Every length around the 16-byte blocks, and every split of them: the
-- sliced loop and its tail must give what a byte at a time gives.
local bytes = image(70, 11)
for n = 0, #bytes do
  local s = bytes:sub(1, n)
  local want = core.crc32_bytewise(0, s)
  check(core.crc32_update(0, s) == want, "sliced crc32 of " .. n .. " bytes")
  for cut = 0, n do
    check(core.crc32_update(core.crc32_update(0, s:sub(1, cut)), s:sub(cut + 1)) == want,
          "crc32 of " .. n .. " bytes in two parts at " .. cut)
  end
end

-- Sequence numbers: a difference is signed and modulo 2^32.
for _, row in ipairs({
  { 5, 4294967295, 6 }, { 4294967295, 5, -6 }, { 1000, 1000, 0 }, { 0, 2147483647, -2147483647 },
}) do
  check(core.seq_diff(row[1], row[2]) == row[3],
        string.format("seq_diff(%d, %d) = %d", row[1], row[2], core.seq_diff(row[1], row[2])))
end
check(core.seq_add(4294967295, 2) == 1, "seq_add does not wrap")

-- A conversation as the script of a capture: each step a segment (c from
-- the client, s from the target, by sequence offset from the SYN's), a
-- close, or nothing sent at all.
local function be32(v)
  return string.char(v // 16777216 % 256, v // 65536 % 256, v // 256 % 256, v % 256)
end
local function reply(id, err, addr, size, crc)
  return string.char(id // 256, id % 256) .. be32(err % 4294967296) .. be32(addr) ..
         be32(size) .. be32(crc)
end
local function run(isn, steps)
  local conv = core.new_conversation(true, true)
  core.syn(conv, false, isn)
  core.syn(conv, true, 7000)
  local out, frame = {}, 0
  local next_s = 7001
  for _, step in ipairs(steps) do
    frame = frame + 1
    local recs
    if step[1] == "c" then
      recs = core.segment(conv, true, step[3], core.seq_add(isn, 1 + step[2]), frame)
    elseif step[1] == "s" then
      recs = core.segment(conv, false, step[2], next_s, frame)
      next_s = next_s + #step[2]
    else
      recs = { core.close(conv, step[1] == "fin s", false) }
    end
    for _, r in ipairs(recs) do out[#out + 1] = r end
  end
  return out, conv
end
local function find(recs, t, nth)
  for _, r in ipairs(recs) do
    if r.t == t then
      nth = (nth or 1) - 1
      if nth == 0 then return r end
    end
  end
end

local FIRST = reply(0x0101, 0, 0, 0, 0)
local img = image(300)
local request = be32(300)
-- The image in three segments: offsets 4, 104, 204 in the client's stream.
local function seg(k) return { "c", 4 + 100 * k, img:sub(100 * k + 1, 100 * k + 100) } end
local verdict = { "s", reply(0x0101, 0, 0, 300, 0xDE0E57CE) }
local ISN_WRAP = 4294967295 - 150  -- the image's second segment wraps past 2^32

for _, isn in ipairs({ 1000, ISN_WRAP }) do
  local where = " (first sequence number " .. isn .. ")"
  local recs = run(isn, { { "c", 0, request }, { "s", FIRST }, seg(0), seg(1), seg(2), verdict })
  local v = find(recs, "reply", 2)
  check(v and v.image_crc == 0xDE0E57CE and v.sent == 300, "in order: verdict crc" .. where)

  -- Overtaken: the third segment comes before the second.
  recs = run(isn, { { "c", 0, request }, { "s", FIRST }, seg(0), seg(2), seg(1), verdict })
  local ahead, late = find(recs, "image", 2), find(recs, "image", 3)
  check(ahead and ahead.ahead and ahead.first == 200 and ahead.sent == 300,
        "out of order: the third segment not placed at 200" .. where)
  check(late and not late.ahead and late.first == 100, "out of order: the second not at 100" .. where)
  v = find(recs, "reply", 2)
  check(v and v.image_crc == 0xDE0E57CE and v.sent == 300 and not find(recs, "seen"),
        "out of order: verdict crc" .. where)

  -- Sent again: the repeat is skipped, the checksum unchanged.
  recs = run(isn, { { "c", 0, request }, { "s", FIRST }, seg(0), seg(1), seg(1), seg(2), verdict })
  local seen = find(recs, "seen")
  check(seen and seen.n == 100, "a repeated segment not told as seen before" .. where)
  v = find(recs, "reply", 2)
  check(v and v.image_crc == 0xDE0E57CE, "repeated segment: verdict crc" .. where)

  -- Lost: the checksum is unknown, the count goes on.
  recs = run(isn, { { "c", 0, request }, { "s", FIRST }, seg(0), seg(2), verdict })
  v = find(recs, "reply", 2)
  check(v and v.image_crc == nil and v.sent == 300, "a lost segment: verdict" .. where)
end

-- Closes: who closed, and what the exchange explains.
local function close_of(steps)
  local recs = run(1000, steps)
  local found = {}
  for _, r in ipairs(recs) do
    if r.t ~= "header" and r.t ~= "reply" and r.t ~= "image" then found[#found + 1] = r end
  end
  return found
end
local got = close_of({ { "c", 0, request }, { "s", reply(0x0202, 0, 0, 0, 0) }, { "fin c" },
                       { "fin s" } })
check(#got == 1 and got[1].t == "before_image" and got[1].length == 300,
      "the client's close after the first reply is not told once as before the image")
got = close_of({ { "c", 0, request }, { "s", reply(0x0101, 3, 0, 0, 0) }, seg(0), { "fin s" },
                 seg(1), { "fin c" } })
check(#got == 0, "a close after a refusal is told as a fault")
got = close_of({ { "c", 0, request }, { "s", FIRST }, seg(0), { "fin s" }, seg(1), seg(2),
                 { "fin c" } })
check(#got == 2 and got[1].t == "target_closed" and got[1].sent == 100 and got[2].t == "half",
      "a half-close is not told as the target's close, then the client's sending")
got = close_of({ { "c", 0, request }, { "s", FIRST }, seg(0), { "fin c" }, { "fin s" } })
check(#got == 1 and got[1].t == "short" and got[1].sent == 100,
      "the client's close mid-image is not told once")
got = close_of({ { "c", 0, request }, { "s", FIRST }, seg(0),
                 { "s", reply(0x0101, 5, 0, 100, 0):sub(1, 6) }, { "fin s" } })
check(#got == 2 and got[1].t == "partial" and got[2].t == "cut" and #got[2].raw == 6,
      "a reply cut after 6 bytes is not kept for its fields")
got = close_of({ { "c", 0, request }, { "s", FIRST }, seg(0),
                 { "s", reply(0x0101, 5, 0, 100, 0) }, { "fin s" }, { "fin c" } })
check(#got == 0, "a close after an early verdict is told as a fault")

if failures > 0 then os.exit(1) end
print("ok: " .. _VERSION)
