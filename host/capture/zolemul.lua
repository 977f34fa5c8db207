-- Wireshark dissector for the Zol serial link, as `zolhost link --pcap FILE` captures it:
-- link type USER0 (147), one packet per frame or run of noise, the bytes of the line with no
-- header, the direction in the packet's flags (outbound: host to device).
--
--   request, host to device, 7 bytes:  02 D1 D2 D3 D4 03 checksum
--   reply, device to host, 9 bytes:    12 EA 00 00 00 00 00 13 checksum
--   the checksum makes the 8-bit sum of every byte of a frame 0x01;
--   the reply to a request carries EA = D1 xor FF.
--
--   wireshark -X lua_script:zolemul.lua FILE     (or copy it to ~/.local/lib/wireshark/plugins/;
--                                                the Debian package puts it in the global one)
--   tshark -X lua_script:zolemul.lua -r FILE -Y zol -T fields -e frame.number -e zol.kind ...

local zol = Proto("zol", "Zol serial link")

local REQUEST_SIZE, REPLY_SIZE = 7, 9
local REQUEST_START, REQUEST_END = 0x02, 0x03
local REPLY_START, REPLY_END = 0x12, 0x13

local f = zol.fields
f.kind = ProtoField.string("zol.kind", "Kind")  -- request, reply, noise, partial, note
f.start = ProtoField.uint8("zol.start", "Start byte", base.HEX)
f.d1 = ProtoField.uint8("zol.d1", "D1", base.HEX)
f.d2 = ProtoField.uint8("zol.d2", "D2", base.HEX)
f.d3 = ProtoField.uint8("zol.d3", "D3", base.HEX)
f.d4 = ProtoField.uint8("zol.d4", "D4", base.HEX)
f.ea = ProtoField.uint8("zol.ea", "EA", base.HEX)
f.data = ProtoField.bytes("zol.data", "Reply data bytes 2-6")
f.end_byte = ProtoField.uint8("zol.end", "End byte", base.HEX)
f.checksum = ProtoField.uint8("zol.checksum", "Checksum", base.HEX)
f.checksum_good = ProtoField.bool("zol.checksum.good", "Checksum good")
f.ea_matches = ProtoField.bool("zol.ea.matches", "EA answers the latest request")
f.ea_expected = ProtoField.uint8("zol.ea.expected", "EA expected", base.HEX)
f.request_in = ProtoField.framenum("zol.request_in", "Request in frame", base.NONE, frametype.REQUEST)
f.bytes = ProtoField.bytes("zol.bytes", "Bytes")  -- noise and partial frames

local e = zol.experts
e.bad_checksum = ProtoExpert.new("zol.checksum.bad", "Bad checksum", expert.group.CHECKSUM, expert.severity.ERROR)
e.bad_end = ProtoExpert.new("zol.end.bad", "Bad end byte", expert.group.MALFORMED, expert.severity.ERROR)
e.data_not_zero = ProtoExpert.new("zol.data.not_zero", "Reply data bytes 2-6 not zero",
    expert.group.MALFORMED, expert.severity.WARN)
e.ea_mismatch = ProtoExpert.new("zol.ea.mismatch", "EA does not answer the latest request",
    expert.group.SEQUENCE, expert.severity.ERROR)
e.noise = ProtoExpert.new("zol.noise", "Bytes that are no frame", expert.group.MALFORMED, expert.severity.NOTE)

-- What came before each reply, kept by frame number so that a second pass (or the GUI, which
-- dissects in any order) gives the answer the first pass did: the D1 and frame number of the
-- latest request the device answers (start, end and checksum right).
local before = {}
local last_request = nil

function zol.init()
    before = {}
    last_request = nil
end

local function sum_is_good(tvb, n)
    local sum = 0
    for i = 0, n - 1 do
        sum = (sum + tvb(i, 1):uint()) % 256
    end
    return sum == 0x01
end

-- The packet's direction: "out" host to device, "in" device to host, nil unknown.
local function direction(pinfo)
    if pinfo.p2p_dir == P2P_DIR_SENT then
        return "out"
    elseif pinfo.p2p_dir == P2P_DIR_RECV then
        return "in"
    end
    return nil
end

local function kind_of(tvb, dir)
    local n = tvb:len()
    if n == 0 then
        return "note"
    end
    local first = tvb(0, 1):uint()
    if dir == nil then
        -- No direction flag (a capture from elsewhere): the start byte decides.
        if first == REQUEST_START then
            dir = "out"
        elseif first == REPLY_START then
            dir = "in"
        else
            return "noise"
        end
    end
    local start, size = REQUEST_START, REQUEST_SIZE
    if dir == "in" then
        start, size = REPLY_START, REPLY_SIZE
    end
    if first ~= start then
        return "noise"
    elseif n == size then
        return dir == "out" and "request" or "reply"
    elseif n < size then
        return "partial"
    end
    return "noise"
end

-- The end byte and the checksum, the last two bytes of a frame of `size` bytes: their fields,
-- expert info and words for the Info column; true besides when both are right.
local function dissect_tail(tvb, tree, size, end_value)
    local words = ""
    local end_item = tree:add(f.end_byte, tvb(size - 2, 1))
    tree:add(f.checksum, tvb(size - 1, 1))
    local sum_good = sum_is_good(tvb, size)
    local sum_item = tree:add(f.checksum_good, tvb(size - 1, 1), sum_good)
    local end_good = tvb(size - 2, 1):uint() == end_value
    if not end_good then
        end_item:add_proto_expert_info(e.bad_end)
        words = " bad end byte"
    end
    if not sum_good then
        sum_item:add_proto_expert_info(e.bad_checksum)
        words = words .. " bad checksum"
    end
    return words, sum_good and end_good
end

local function dissect_request(tvb, pinfo, tree)
    tree:add(f.start, tvb(0, 1))
    tree:add(f.d1, tvb(1, 1))
    tree:add(f.d2, tvb(2, 1))
    tree:add(f.d3, tvb(3, 1))
    tree:add(f.d4, tvb(4, 1))
    local words, good = dissect_tail(tvb, tree, REQUEST_SIZE, REQUEST_END)
    local d1 = tvb(1, 1):uint()
    if not pinfo.visited and good then
        last_request = { d1 = d1, number = pinfo.number }
    end
    return string.format("request D1=0x%02X", d1) .. words
end

local function dissect_reply(tvb, pinfo, tree)
    tree:add(f.start, tvb(0, 1))
    tree:add(f.ea, tvb(1, 1))
    local data_item = tree:add(f.data, tvb(2, 5))
    local words = dissect_tail(tvb, tree, REPLY_SIZE, REPLY_END)
    local ea = tvb(1, 1):uint()

    if not pinfo.visited then
        before[pinfo.number] = last_request or false
    end
    local request = before[pinfo.number]
    local info = string.format("reply EA=0x%02X", ea)
    if request then
        local expected = bit.bxor(request.d1, 0xFF)
        local matches = ea == expected
        local m = tree:add(f.ea_matches, tvb(1, 1), matches)
        tree:add(f.ea_expected, expected):set_generated()
        tree:add(f.request_in, request.number):set_generated()
        if matches then
            info = info .. " (matches)"
        else
            m:add_proto_expert_info(e.ea_mismatch,
                string.format("EA 0x%02X does not answer D1=0x%02X of frame %d (expected 0x%02X)",
                    ea, request.d1, request.number, expected))
            info = info .. string.format(" (expected 0x%02X)", expected)
        end
    else
        local m = tree:add(f.ea_matches, tvb(1, 1), false)
        m:add_proto_expert_info(e.ea_mismatch, "No request before this reply")
        info = info .. " (no request before it)"
    end
    for i = 2, 6 do
        if tvb(i, 1):uint() ~= 0 then
            data_item:add_proto_expert_info(e.data_not_zero)
            info = info .. " data not zero"
            break
        end
    end
    return info .. words
end

function zol.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "ZOL"
    local n = tvb:len()
    local tree = root:add(zol, tvb())
    local dir = direction(pinfo)
    local kind = kind_of(tvb, dir)
    tree:add(f.kind, kind):set_generated()

    local info
    if kind == "request" then
        info = dissect_request(tvb, pinfo, tree)
    elseif kind == "reply" then
        info = dissect_reply(tvb, pinfo, tree)
    elseif kind == "note" then
        info = "note"
    else
        local item = tree:add(f.bytes, tvb())
        item:add_proto_expert_info(e.noise)
        info = string.format("%s %d byte%s", kind, n, n == 1 and "" or "s")
    end
    if dir == "out" then
        pinfo.cols.src, pinfo.cols.dst = "host", "device"
    elseif dir == "in" then
        pinfo.cols.src, pinfo.cols.dst = "device", "host"
    end
    pinfo.cols.info = info
    return n
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, zol)
