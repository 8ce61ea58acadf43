-- Wireshark and tshark: the meter's bootloader datagrams (UDP port 5555), as
-- Ethernet Loader exchanges them during an update. Each request is matched
-- with the first answer that follows it in its conversation, so that a
-- support trace shows at a glance which block was confirmed, how long the
-- meter took, and where the link lost, delayed or copied an answer.
--
-- Install: copy into Wireshark's personal Lua plugin folder (Help > About >
-- Folders), or try it once with `tshark -X lua_script:meterboot.lua -r FILE`.
-- A bootloader on another port: `tshark -d udp.port==PORT,meterboot`.

local BOOT_PORT = 5555
local BLOCK_SIZE = 1024
local WRITE_SIZE = 4 + BLOCK_SIZE + 1
local WRITE_ANSWER_SIZE = 4
-- The bootloaders the tool programs; anything else answering "VER?" is not one.
local IDENTITIES = {["TALVO-ETH-BOOTLOADER-V1.00"] = true, ["QT51/QT52-BOOTLOADER-V1.01"] = true}

local proto = Proto("meterboot", "Meter bootloader")
-- An older Wireshark has no frame types for links; the links work without them.
local links = frametype or {}

local KIND = {
    identify = 1, identity = 2, erase = 3, erase_answer = 4,
    write = 5, write_answer = 6, reset = 7, answer = 8, unknown = 9,
}
local kind_names = {
    [1] = "Identify request", [2] = "Identity", [3] = "Erase request", [4] = "Erase answer",
    [5] = "Write request", [6] = "Write answer", [7] = "Reset request", [8] = "Answer", [9] = "Unknown",
}
-- The same values as Wireshark's own checksum status fields, so that filters read alike.
local CHECKSUM_BAD, CHECKSUM_GOOD = 0, 1
local checksum_names = {[0] = "Bad", [1] = "Good"}

local f = {
    kind = ProtoField.uint8("meterboot.kind", "Kind", base.DEC, kind_names),
    cmd = ProtoField.string("meterboot.cmd", "Command"),
    response = ProtoField.bool("meterboot.response", "Response"),
    identity = ProtoField.string("meterboot.identity", "Identity"),
    first_sector = ProtoField.uint8("meterboot.erase.first", "First sector", base.HEX),
    last_sector = ProtoField.uint8("meterboot.erase.last", "Last sector", base.HEX),
    address = ProtoField.uint24("meterboot.address", "Address", base.HEX),
    length = ProtoField.uint16("meterboot.length", "Data length", base.DEC),
    data = ProtoField.bytes("meterboot.data", "Data"),
    checksum = ProtoField.uint8("meterboot.checksum", "Checksum", base.HEX),
    checksum_calc = ProtoField.uint8("meterboot.checksum.calculated", "Calculated checksum", base.HEX),
    checksum_status = ProtoField.uint8("meterboot.checksum.status", "Checksum status", base.DEC, checksum_names),
    answer = ProtoField.string("meterboot.answer", "Answer"),
    accepted = ProtoField.bool("meterboot.accepted", "Accepted"),
    request_in = ProtoField.framenum("meterboot.request_in", "Request in", base.NONE, links.REQUEST),
    response_in = ProtoField.framenum("meterboot.response_in", "Response in", base.NONE, links.RESPONSE),
    time = ProtoField.relative_time("meterboot.time", "Time"),
}
proto.fields = {
    f.kind, f.cmd, f.response, f.identity, f.first_sector, f.last_sector, f.address, f.length, f.data,
    f.checksum, f.checksum_calc, f.checksum_status, f.answer, f.accepted, f.request_in, f.response_in, f.time,
}

local e = {
    bad_checksum = ProtoExpert.new("meterboot.checksum.bad", "Bad checksum", expert.group.CHECKSUM,
                                   expert.severity.ERROR),
    late = ProtoExpert.new("meterboot.answer.late", "late or copied answer", expert.group.SEQUENCE,
                           expert.severity.WARN),
    unanswered = ProtoExpert.new("meterboot.unanswered", "no answer before the next request",
                                 expert.group.SEQUENCE, expert.severity.NOTE),
    malformed = ProtoExpert.new("meterboot.malformed", "wrong length for this frame", expert.group.MALFORMED,
                                expert.severity.ERROR),
    foreign = ProtoExpert.new("meterboot.identity.unknown", "not a bootloader the tool programs",
                              expert.group.PROTOCOL, expert.severity.WARN),
}
proto.experts = {e.bad_checksum, e.late, e.unanswered, e.malformed, e.foreign}

-- What the first pass learned, kept for later passes (Wireshark dissects a
-- packet again whenever it is shown): conversation state is only advanced
-- when a packet is seen for the first time.
local conversations, requests, answers

local function forget()
    conversations, requests, answers = {}, {}, {}
end
proto.init = forget
forget()

-- The 8-bit sum's two's complement over [first, last).
local function checksum_of(tvb, first, last)
    local sum = 0
    for i = first, last - 1 do sum = sum + tvb(i, 1):uint() end
    return (256 - sum % 256) % 256
end

local function add_checksum(tree, tvb)
    local at = tvb:len() - 1
    local sent, want = tvb(at, 1):uint(), checksum_of(tvb, 0, at)
    local item = tree:add(f.checksum, tvb(at, 1))
    tree:add(f.checksum_calc, want):set_generated()
    local good = sent == want
    tree:add(f.checksum_status, good and CHECKSUM_GOOD or CHECKSUM_BAD):set_generated()
    if good then
        item:append_text(" [correct]")
    else
        item:append_text(string.format(" [incorrect, should be 0x%02x]", want))
        item:add_proto_expert_info(e.bad_checksum)
    end
    return good
end

-- The request a datagram from the tool carries: its kind and command text.
local function request_kind(tvb)
    local n, text = tvb:len(), tvb:raw()
    if text == "VER?" then return KIND.identify, "VER?" end
    if text == "RESET" then return KIND.reset, "RESET" end
    local first = n > 0 and text:sub(1, 1) or ""
    if first == "E" then return KIND.erase, "E" end
    if first == "W" then return KIND.write, "W" end
    return KIND.unknown, nil
end

local function dissect_request(tvb, tree, kind, info)
    local n = tvb:len()
    if kind == KIND.identify then
        info[#info + 1] = "VER?"
    elseif kind == KIND.reset then
        info[#info + 1] = "RESET"
    elseif kind == KIND.erase then
        if n ~= 4 then
            tree:add_proto_expert_info(e.malformed, "an erase frame is 4 bytes")
            info[#info + 1] = "E [wrong length]"
            return
        end
        tree:add(f.first_sector, tvb(1, 1))
        tree:add(f.last_sector, tvb(2, 1))
        local good = add_checksum(tree, tvb)
        info[#info + 1] = string.format("E sectors %d-%d%s", tvb(1, 1):uint(), tvb(2, 1):uint(),
                                        good and "" or " [bad checksum]")
    elseif kind == KIND.write then
        if n < 5 then
            tree:add_proto_expert_info(e.malformed, "a write frame is " .. WRITE_SIZE .. " bytes")
            info[#info + 1] = "W [wrong length]"
            return
        end
        tree:add(f.address, tvb(1, 3))
        tree:add(f.length, n - 5):set_generated()
        tree:add(f.data, tvb(4, n - 5))
        local good = add_checksum(tree, tvb)
        if n ~= WRITE_SIZE then tree:add_proto_expert_info(e.malformed, "a write frame is " .. WRITE_SIZE .. " bytes") end
        info[#info + 1] = string.format("W 0x%05X%s", tvb(1, 3):uint(), good and "" or " [bad checksum]")
    else
        tree:add(f.data, tvb())
        info[#info + 1] = "unknown frame"
    end
end

-- An answer's kind follows from the request it answers; without one, from its text.
local function answer_kind(tvb, request_kind_of)
    local text = tvb:raw()
    if IDENTITIES[text] or request_kind_of == KIND.identify then return KIND.identity end
    if request_kind_of == KIND.erase then return KIND.erase_answer end
    if request_kind_of == KIND.write then return KIND.write_answer end
    return KIND.answer
end

local function dissect_answer(tvb, tree, kind, info)
    local n, text = tvb:len(), tvb:raw()
    if kind == KIND.identity then
        tree:add(f.identity, tvb())
        if not IDENTITIES[text] then tree:add_proto_expert_info(e.foreign) end
        info[#info + 1] = "identity " .. text:gsub("[^%g ]", ".")
        return
    end
    if n < 2 then
        tree:add_proto_expert_info(e.malformed, "an answer has at least 2 bytes")
        info[#info + 1] = "[too short]"
        return
    end
    local word = text:sub(1, 2)
    tree:add(f.answer, tvb(0, 2))
    -- A write is taken on its first byte alone, an erase on both, as the tool reads them.
    local accepted = (kind == KIND.write_answer and text:sub(1, 1) == "O") or word == "OK"
    tree:add(f.accepted, accepted):set_generated()
    if kind == KIND.write_answer and n ~= WRITE_ANSWER_SIZE then
        tree:add_proto_expert_info(e.malformed, "a write answer is " .. WRITE_ANSWER_SIZE .. " bytes")
    end
    -- "OK\r\n" reads as OK; any other tail (an error's reason) is shown.
    local tail = text:sub(3)
    if tail == "\r\n" then tail = "" end
    info[#info + 1] = word:gsub("[^%g ]", ".") .. (tail ~= "" and (" " .. tail:gsub("[^%g]", ".")) or "")
end

-- One conversation per tool socket and meter.
local function conversation_key(pinfo, from_tool)
    local tool = from_tool and (tostring(pinfo.src) .. ":" .. pinfo.src_port)
        or (tostring(pinfo.dst) .. ":" .. pinfo.dst_port)
    local meter = from_tool and (tostring(pinfo.dst) .. ":" .. pinfo.dst_port)
        or (tostring(pinfo.src) .. ":" .. pinfo.src_port)
    return tool .. ">" .. meter
end

-- First pass: a request becomes the conversation's latest; an answer is its
-- answer when it is the first after it, else late or a copy.
local function track(pinfo, from_tool, kind)
    local key = conversation_key(pinfo, from_tool)
    local conv = conversations[key] or {}
    conversations[key] = conv
    if from_tool then
        local previous = conv.latest
        -- RESET is not answered; every other request the tool waits for.
        if previous and not previous.answer and previous.kind ~= KIND.reset then previous.unanswered = true end
        conv.latest = {frame = pinfo.number, time = pinfo.abs_ts, kind = kind}
        requests[pinfo.number] = conv.latest
        return
    end
    local request = conv.latest
    local record = {request = request}
    if not request or request.answer then
        record.late = true
    else
        request.answer = pinfo.number
        record.time = pinfo.abs_ts - request.time
    end
    answers[pinfo.number] = record
end

local function show_request_state(tree, number, info)
    local request = requests[number]
    if not request then return end
    if request.answer then tree:add(f.response_in, request.answer):set_generated() end
    if request.unanswered then
        tree:add_proto_expert_info(e.unanswered)
        info[#info + 1] = "[no answer]"
    end
end

local function show_answer_state(tree, number, info)
    local record = answers[number]
    if not record then return end
    if record.request then tree:add(f.request_in, record.request.frame):set_generated() end
    if record.time then
        -- To the microsecond, as traces are stamped: a double holds no more of an absolute time.
        local micros = math.floor(record.time * 1e6 + 0.5)
        tree:add(f.time, NSTime.new(math.floor(micros / 1e6), (micros % 1000000) * 1000)):set_generated()
    end
    if record.late then
        tree:add_proto_expert_info(e.late)
        info[#info + 1] = "[late or copied]"
    end
end

-- The request an answer follows: the conversation's latest when first seen.
local function answered_request(pinfo)
    if pinfo.visited then
        local record = answers[pinfo.number]
        return record and record.request
    end
    local conv = conversations[conversation_key(pinfo, false)]
    return conv and conv.latest
end

-- The bootloader's port: the one this dissector was chosen by (Decode As),
-- else the usual one.
local function from_tool(pinfo)
    local port = pinfo.match_uint
    if port ~= pinfo.src_port and port ~= pinfo.dst_port then port = BOOT_PORT end
    return pinfo.dst_port == port
end

function proto.dissector(tvb, pinfo, root)
    if tvb:len() == 0 then return 0 end
    pinfo.cols.protocol = "METERBOOT"
    local tree = root:add(proto, tvb())
    local tool = from_tool(pinfo)
    local kind, cmd, info = nil, nil, {}
    if tool then
        kind, cmd = request_kind(tvb)
    else
        local request = answered_request(pinfo)
        kind = answer_kind(tvb, request and request.kind)
    end
    if not pinfo.visited then track(pinfo, tool, kind) end
    tree:add(f.kind, kind):set_generated()
    tree:add(f.response, not tool):set_generated()
    if cmd then tree:add(f.cmd, cmd):set_generated() end
    if tool then
        dissect_request(tvb, tree, kind, info)
        show_request_state(tree, pinfo.number, info)
    else
        dissect_answer(tvb, tree, kind, info)
        show_answer_state(tree, pinfo.number, info)
    end
    pinfo.cols.info = (tool and "Tool > meter: " or "Meter > tool: ") .. table.concat(info, " ")
    return tvb:len()
end

DissectorTable.get("udp.port"):add(BOOT_PORT, proto)
