-- zqlusb.lua: a Wireshark dissector for the session traces of the trace
-- build of zqlusb.dll (Wireshark 4.0, Lua 5.2).
--
--   wireshark -X lua_script:zqlusb.lua zqlusb-1234.pcapng
--   tshark -X lua_script:zqlusb.lua -r zqlusb-1234.pcapng -V
--   tshark -X lua_script:zqlusb.lua -r TRACE -Y 'zqlusb.command == 0x03'
--
-- Or copy it into Wireshark's personal plugins folder
-- (~/.local/lib/wireshark/plugins/ on Linux, %APPDATA%\Wireshark\plugins on
-- Windows). A trace's packets carry the exported-PDU tag that names this
-- dissector, "zqlusb", so nothing has to be set up. Each packet is one
-- record: an exported call, a platform call the library made, or a run of
-- register writes; the command stream a transfer carries is decoded command
-- by command, and the instrument's replies by what they answer.

local zq = Proto("zqlusb", "Zelqa zqlusb session trace")

-- The record layout of the session trace, as the trace DLL writes it.
local RECORD_HEADER = 16
local FIELD_HEADER = 6
local KIND = {[1] = "Session start", [2] = "Export call", [3] = "Platform call", [4] = "Register writes",
              [5] = "Continued", [6] = "Session end"}
local EXPORTS = {"SetDLLBehaviour", "DeviceReady", "USBInitDevice", "GetDriverVersion", "USBFlushBuffer",
                 "USBSetEPB", "USBWriteAddress", "USBWriteData", "USBReadData", "USBReadI2CEEPROM",
                 "USBWriteI2CEEPROM", "USBWriteBuffer", "USBLoadFPGA", "USBReadFromEEPROM", "USBReadDataBlock",
                 "USBRetrieveScopeData", "USBRetrieveRollModeData", "USBRetrievePreTriggerData"}
local PLATFORM = {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
                  "SetupDiDestroyDeviceInfoList", "CreateFileA", "DeviceIoControl", "CloseHandle", "MessageBoxA"}
local FIELD = {[1] = "Arguments", [2] = "Bytes read", [3] = "Bytes changed", [4] = "Text", [5] = "Last error",
               [6] = "Returned length", [7] = "Register writes"}
local EXPORT_ARGUMENTS = {
    [1] = {"behaviour"}, [4] = {"version"}, [7] = {"address"}, [8] = {"data"}, [10] = {"address", "code"},
    [11] = {"address", "data", "code"}, [12] = {"Data", "Length"}, [13] = {"Data", "Length"},
    [14] = {"address", "ReturnValue"}, [15] = {"Data", "Length"}, [16] = {"OutBuffer"}, [17] = {"OutBuffer"},
    [18] = {"OutBuffer"}}
local PLATFORM_ARGUMENTS = {
    [1] = {"ClassGuid", "Enumerator", "hwndParent", "Flags"},
    [2] = {"DeviceInfoSet", "DeviceInfoData", "InterfaceClassGuid", "MemberIndex", "DeviceInterfaceData"},
    [3] = {"DeviceInfoSet", "DeviceInterfaceData", "DeviceInterfaceDetailData", "DeviceInterfaceDetailDataSize",
           "RequiredSize", "DeviceInfoData"},
    [4] = {"DeviceInfoSet"},
    [5] = {"lpFileName", "dwDesiredAccess", "dwShareMode", "lpSecurityAttributes", "dwCreationDisposition",
           "dwFlagsAndAttributes", "hTemplateFile"},
    [6] = {"hDevice", "dwIoControlCode", "nInBufferSize", "nOutBufferSize"},
    [7] = {"hObject"},
    [8] = {"hWnd", "lpText", "lpCaption", "uType"}}

-- The driver's control requests and the command stream, as zqlusb.dll sends them.
local WRITE_STREAM, WRITE_RAW, READ, READY = 0x220018, 0x22001C, 0x220024, 0x220028
local IOCTL = {[WRITE_STREAM] = "IOCTL_SCOPE_WRITE_STREAM", [WRITE_RAW] = "IOCTL_SCOPE_WRITE_RAW",
               [READ] = "IOCTL_SCOPE_READ", [READY] = "IOCTL_SCOPE_READY"}
local CMD_NOP, CMD_ADDRESS, CMD_DATA, CMD_READ, CMD_EPB, CMD_I2C_BUS, CMD_I2C_WRITE = 0, 1, 2, 3, 5, 0x0C, 0x0E
local OPCODE = {[CMD_NOP] = "NOP", [CMD_ADDRESS] = "ADDRESS", [CMD_DATA] = "DATA", [CMD_READ] = "READ",
                [CMD_EPB] = "EPB", [CMD_I2C_BUS] = "I2C_BUS", [CMD_I2C_WRITE] = "I2C_WRITE"}
local READ_BYTE, READ_SERIAL, READ_BLOCK, READ_ROLL, READ_PRETRIGGER, READ_I2C = 4, 8, 9, 0x0A, 0x0B, 0x0D
local SUBCODE = {[READ_BYTE] = "READ_BYTE", [READ_SERIAL] = "READ_SERIAL_EEPROM", [READ_BLOCK] = "READ_BLOCK",
                 [READ_ROLL] = "READ_ROLL", [READ_PRETRIGGER] = "READ_PRETRIGGER", [READ_I2C] = "READ_I2C_EEPROM"}
local PACKET = 64              -- the instrument moves data in packets of this many bytes
local ROLL_RECORDS = 21        -- 3-byte records after the skipped first byte of a packet
local PRETRIGGER_LEAD = 1536   -- the pre-trigger reply's first 24 packets hold no points
local PRETRIGGER_POINTS = 32000
local CHANNEL_B = 32768        -- channel B's offset in OutPutData
-- The FPGA's port images: three per bit of the bit stream.
local FPGA_ONE = {0xF4, 0xD4, 0xF4}
local FPGA_ZERO = {0xE4, 0xC4, 0xE4}

local f = {
    kind = ProtoField.uint8("zqlusb.kind", "Record kind", base.DEC, KIND),
    export = ProtoField.uint8("zqlusb.export", "Export", base.DEC, EXPORTS),
    platform = ProtoField.uint8("zqlusb.platform", "Platform call", base.DEC, PLATFORM),
    call = ProtoField.uint8("zqlusb.call", "Call", base.DEC),
    depth = ProtoField.uint8("zqlusb.depth", "Depth (calls from a retry dialog: 1 and more)", base.DEC),
    flags = ProtoField.uint8("zqlusb.flags", "Flags", base.HEX),
    thread = ProtoField.uint32("zqlusb.thread", "Thread", base.DEC),
    record = ProtoField.uint32("zqlusb.record", "Record number", base.DEC),
    result = ProtoField.uint32("zqlusb.result", "Result", base.DEC),
    field = ProtoField.uint16("zqlusb.field", "Field", base.DEC, FIELD),
    field_length = ProtoField.uint32("zqlusb.field.length", "Length", base.DEC),
    arg = ProtoField.uint64("zqlusb.arg", "Argument", base.HEX),
    bytes_read = ProtoField.bytes("zqlusb.bytes_read", "Bytes read"),
    changed_offset = ProtoField.uint32("zqlusb.changed.offset", "Offset", base.DEC),
    bytes_changed = ProtoField.bytes("zqlusb.bytes_changed", "Bytes changed"),
    text = ProtoField.string("zqlusb.text", "Text"),
    last_error = ProtoField.uint32("zqlusb.last_error", "Last error", base.DEC),
    returned = ProtoField.uint32("zqlusb.returned", "Returned length", base.DEC),
    ioctl = ProtoField.uint32("zqlusb.ioctl", "Control code", base.HEX, IOCTL),
    command = ProtoField.uint8("zqlusb.command", "Command", base.HEX, OPCODE),
    address = ProtoField.uint8("zqlusb.address", "Register address", base.HEX),
    data = ProtoField.uint8("zqlusb.data", "Data", base.HEX),
    subcode = ProtoField.uint8("zqlusb.read.subcode", "Read request", base.HEX, SUBCODE),
    packets = ProtoField.uint32("zqlusb.read.packets", "Packets requested", base.DEC),
    read_bytes = ProtoField.uint32("zqlusb.read.bytes", "Bytes requested", base.DEC),
    i2c_bus = ProtoField.uint8("zqlusb.i2c.bus", "I2C access", base.HEX, {[0x13] = "open", [0x00] = "close"}),
    i2c_address = ProtoField.uint16("zqlusb.i2c.address", "I2C EEPROM address", base.HEX),
    i2c_data = ProtoField.uint8("zqlusb.i2c.data", "I2C EEPROM byte", base.HEX),
    serial_word = ProtoField.uint8("zqlusb.serial.word", "Serial EEPROM word", base.DEC),
    serial_value = ProtoField.uint16("zqlusb.serial.value", "Serial EEPROM value", base.HEX),
    byte_value = ProtoField.uint8("zqlusb.byte", "Byte read", base.HEX),
    fpga_bits = ProtoField.uint32("zqlusb.fpga.bits", "FPGA bits", base.DEC),
    fpga_bad = ProtoField.uint32("zqlusb.fpga.bad_images", "Port-image triples that are no bit", base.DEC),
    points = ProtoField.uint32("zqlusb.points", "Points", base.DEC),
    a_min = ProtoField.uint8("zqlusb.a.min", "Channel A lowest", base.DEC),
    a_max = ProtoField.uint8("zqlusb.a.max", "Channel A highest", base.DEC),
    b_min = ProtoField.uint8("zqlusb.b.min", "Channel B lowest", base.DEC),
    b_max = ProtoField.uint8("zqlusb.b.max", "Channel B highest", base.DEC),
    roll_invalid = ProtoField.uint8("zqlusb.roll.invalid", "Marked invalid", base.DEC),
    roll_tag = ProtoField.uint8("zqlusb.roll.tag", "Tag that ends the block", base.HEX),
    roll_packet = ProtoField.uint16("zqlusb.roll.packet", "Roll packet", base.DEC),
    scope_count = ProtoField.uint16("zqlusb.scope.count", "DataCount", base.DEC),
    scope_offset = ProtoField.uint16("zqlusb.scope.offset", "DataOffset", base.DEC),
    scope_step = ProtoField.uint16("zqlusb.scope.step", "Step", base.DEC),
    channel = ProtoField.string("zqlusb.channel", "Channel"),
    writes = ProtoField.uint32("zqlusb.writes", "Register writes in the run", base.DEC),
    write_kind = ProtoField.uint8("zqlusb.write", "Write", base.DEC, EXPORTS),
    version = ProtoField.string("zqlusb.version", "Library version"),
    pid = ProtoField.uint32("zqlusb.pid", "Process id", base.DEC),
    continued_last = ProtoField.uint32("zqlusb.continued.last", "Last record of the older part", base.DEC),
}
zq.fields = {}
for _, field in pairs(f) do
    table.insert(zq.fields, field)
end

local e_malformed = ProtoExpert.new("zqlusb.malformed", "Record does not follow the trace layout",
                                    expert.group.MALFORMED, expert.severity.ERROR)
zq.experts = {e_malformed}

-- The read request the stream sent last, for the read transfer that follows
-- it; kept per packet, so that a packet dissected again finds its own.
local last_request
local request_of = {}
function zq.init()
    last_request = nil
    request_of = {}
end

-- Lua 5.2 has no integer division operator.
local function idiv(a, b) return math.floor(a / b) end

-- Lowest and highest of every second byte of `s` from `first` (1-based).
local function range_of(s, first, count)
    local low, high = 255, 0
    for i = first, first + 2 * (count - 1), 2 do
        local v = s:byte(i)
        if v < low then low = v end
        if v > high then high = v end
    end
    return low, high
end

-- Two channels interleaved in `s` (A first) from `first`, `count` points.
local function add_points(tree, tvb, s, first, count, label)
    local t = tree:add(zq, tvb, string.format("%s: %d points", label, count))
    t:add(f.points, count)
    if count > 0 then
        local alow, ahigh = range_of(s, first, count)
        local blow, bhigh = range_of(s, first + 1, count)
        t:append_text(string.format(", A %d..%d, B %d..%d", alow, ahigh, blow, bhigh))
        t:add(f.a_min, alow); t:add(f.a_max, ahigh); t:add(f.b_min, blow); t:add(f.b_max, bhigh)
    end
    return t
end

-- One channel's bytes in `s` from `first`.
local function channel_range(s, first, count)
    local low, high = 255, 0
    for i = first, first + count - 1 do
        local v = s:byte(i)
        if v < low then low = v end
        if v > high then high = v end
    end
    return low, high
end

------------------------------------------------------------------------
-- The command stream.

-- The serial EEPROM's port images: start bit and READ opcode (1 1 0), then
-- six address bits, each a clock-low and a clock-high image; 0x2A before,
-- 0x0E after. Returns the word address, or nil.
local function serial_word(operands, at)
    if operands[at] ~= 0x2A or #operands < at + 19 then return nil end
    local bits = {}
    for k = 0, 8 do
        local low, high = operands[at + 1 + 2 * k], operands[at + 2 + 2 * k]
        if (low ~= 0x0E and low ~= 0x0F) or high ~= low + 0x20 then return nil end
        bits[k + 1] = low - 0x0E
    end
    if bits[1] ~= 1 or bits[2] ~= 1 or bits[3] ~= 0 or operands[at + 19] ~= 0x0E then return nil end
    local word = 0
    for k = 4, 9 do word = word * 2 + bits[k] end
    return word
end

local function decode_stream(tree, tvb, pinfo)
    local s = tvb:raw()
    local n = tvb:len()
    local t = tree:add(zq, tvb, "Command stream")
    local count, summary = 0, {}
    local operands, operand_items = {}, {}
    local i2c_address
    local at = 0
    while at < n do
        local opcode = s:byte(at + 1)
        local length = (opcode == CMD_READ or opcode == CMD_I2C_WRITE) and 4 or 2
        if at + length > n then
            t:add_proto_expert_info(e_malformed, "command cut off at byte " .. at)
            break
        end
        local r = tvb(at, length)
        local c = t:add(f.command, tvb(at, 1))
        c:set_len(length)
        local operand = s:byte(at + 2)
        count = count + 1
        if opcode == CMD_ADDRESS then
            c:add(f.address, tvb(at + 1, 1))
            c:append_text(string.format(": 0x%02X", operand))
        elseif opcode == CMD_DATA then
            c:add(f.data, tvb(at + 1, 1))
            c:append_text(string.format(": 0x%02X", operand))
            operands[#operands + 1] = operand
            operand_items[#operands] = c
        elseif opcode == CMD_EPB then
            c:append_text(" (operand byte not written)")
        elseif opcode == CMD_I2C_BUS then
            c:add(f.i2c_bus, tvb(at + 1, 1))
            c:append_text(operand == 0x13 and ": open" or ": close")
            summary[#summary + 1] = operand == 0x13 and "I2C open" or "I2C close"
        elseif opcode == CMD_I2C_WRITE then
            local address = s:byte(at + 2) * 256 + s:byte(at + 3)
            c:add(f.i2c_address, tvb(at + 1, 2))
            c:add(f.i2c_data, tvb(at + 3, 1))
            c:append_text(string.format(": byte 0x%02X at 0x%04X", s:byte(at + 4), address))
            summary[#summary + 1] = string.format("I2C write 0x%04X=0x%02X", address, s:byte(at + 4))
        elseif opcode == CMD_READ then
            local sub, p1, p2 = operand, s:byte(at + 3), s:byte(at + 4)
            c:add(f.subcode, tvb(at + 1, 1))
            c:append_text(": " .. (SUBCODE[sub] or string.format("sub-code 0x%02X", sub)))
            if sub == READ_BLOCK or sub == READ_ROLL or sub == READ_PRETRIGGER then
                -- Packet count minus one, high byte first; 0xFFFF asks for none.
                local announced = p1 * 256 + p2
                local packets = announced == 0xFFFF and 0 or announced + 1
                c:add(f.packets, tvb(at + 2, 2), packets)
                c:add(f.read_bytes, tvb(at + 2, 2), packets * PACKET)
                c:append_text(string.format(", %d packets (%d bytes)", packets, packets * PACKET))
                summary[#summary + 1] = string.format("%s %d packets", SUBCODE[sub], packets)
            elseif sub == READ_I2C then
                i2c_address = p1 * 256 + p2
                c:add(f.i2c_address, tvb(at + 2, 2))
                c:append_text(string.format(" at 0x%04X", i2c_address))
                summary[#summary + 1] = string.format("I2C read 0x%04X", i2c_address)
            else
                c:append_text(" (parameters not written)")
                summary[#summary + 1] = SUBCODE[sub] or "READ"
            end
            if not pinfo.visited then
                last_request = {sub = sub, p1 = p1, p2 = p2}
            end
        elseif opcode ~= CMD_NOP then
            c:add_proto_expert_info(e_malformed, string.format("unknown opcode 0x%02X", opcode))
        end
        at = at + length
    end
    -- The serial EEPROM's port images among the data writes.
    local k = 1
    while k <= #operands do
        local word = serial_word(operands, k)
        if word then
            local item = operand_items[k]
            item:add(f.serial_word, word)
            item:append_text(string.format(" (serial EEPROM: READ of word %d, 20 port images from here)", word))
            summary[#summary + 1] = string.format("serial EEPROM READ word %d", word)
            k = k + 20
        else
            k = k + 1
        end
    end
    t:append_text(string.format(": %d commands, %d bytes", count, n))
    return count, summary
end

-- The FPGA's bit stream from its port images.
local function decode_fpga(tree, tvb)
    local s = tvb:raw()
    local n = tvb:len()
    local bits, bad, bytes, value, first = 0, 0, {}, 0, {}
    for at = 1, n - 2, 3 do
        local a, b, c = s:byte(at, at + 2)
        local bit
        if a == FPGA_ONE[1] and b == FPGA_ONE[2] and c == FPGA_ONE[3] then bit = 1
        elseif a == FPGA_ZERO[1] and b == FPGA_ZERO[2] and c == FPGA_ZERO[3] then bit = 0 end
        if bit == nil then
            bad = bad + 1
        else
            bits = bits + 1
            value = value * 2 + bit
            if bits % 8 == 0 then
                if #first < 8 then first[#first + 1] = string.format("%02X", value) end
                value = 0
            end
        end
    end
    local t = tree:add(zq, tvb, string.format("FPGA port images: %d bits (%d bytes of bit stream)", bits, idiv(bits, 8)))
    t:add(f.fpga_bits, bits)
    t:add(f.fpga_bad, bad)
    if #first > 0 then t:append_text(", first bytes " .. table.concat(first, " ")) end
    if bad > 0 or n % 3 ~= 0 then t:append_text(string.format(", %d triples are no bit", bad)) end
    return bits, bad
end

------------------------------------------------------------------------
-- Replies to read requests.

local function decode_roll(tree, tvb)
    local s = tvb:raw()
    local n = tvb:len()
    local t = tree:add(zq, tvb, "Roll-mode block")
    local points, invalid, ended = 0, 0, false
    local samples = {}
    for p = 0, idiv(n - 1, PACKET) do
        if ended then break end
        local base_at = p * PACKET
        local data, stop = 0, nil
        for r = 0, ROLL_RECORDS - 1 do
            local at = base_at + 1 + 3 * r
            if at + 2 >= n then -- the delivered bytes end here
                ended = true
                break
            end
            local tag = s:byte(at + 1)
            if tag >= 0x40 and (tag % 128) >= 64 then
                invalid, ended, stop = 1, true, {at = at, tag = tag, record = r}
                break
            elseif tag < 0x80 then
                ended, stop = true, {at = at, tag = tag, record = r}
                break
            end
            data = data + 1
            samples[#samples + 1] = at + 2
        end
        local pt = t:add(f.roll_packet, tvb(base_at, math.min(PACKET, n - base_at)), p)
        pt:append_text(string.format(": %d data records", data))
        if stop then
            pt:append_text(string.format(", then tag 0x%02X (%s) at record %d", stop.tag,
                invalid == 1 and "invalid data" or "end of data", stop.record))
            pt:add(f.roll_tag, tvb(stop.at, 1))
        elseif ended then
            pt:append_text(", then the end of the delivered bytes")
        end
        points = points + data
    end
    t:add(f.points, points)
    t:add(f.roll_invalid, invalid)
    t:append_text(string.format(": %d points%s", points, invalid == 1 and ", marked invalid" or ""))
    if points > 0 then
        local alow, ahigh, blow, bhigh = 255, 0, 255, 0
        for _, at in ipairs(samples) do
            local a, b = s:byte(at, at + 1)
            alow, ahigh = math.min(alow, a), math.max(ahigh, a)
            blow, bhigh = math.min(blow, b), math.max(bhigh, b)
        end
        t:append_text(string.format(", A %d..%d, B %d..%d", alow, ahigh, blow, bhigh))
    end
    return points, invalid
end

local function decode_reply(tree, tvb, request)
    local n = tvb:len()
    if n == 0 then return "" end
    local s = tvb:raw()
    local sub = request and request.sub
    if sub == READ_ROLL then
        local points, invalid = decode_roll(tree, tvb)
        return string.format("roll block %d points%s", points, invalid == 1 and " invalid" or "")
    elseif sub == READ_PRETRIGGER then
        local count = math.max(0, math.min(PRETRIGGER_POINTS, idiv(n - PRETRIGGER_LEAD, 2)))
        local t = add_points(tree, tvb, s, PRETRIGGER_LEAD + 1, count, "Pre-trigger memory")
        t:append_text(string.format(" (from byte %d on)", PRETRIGGER_LEAD))
        return string.format("pre-trigger %d points", count)
    elseif sub == READ_BLOCK then
        add_points(tree, tvb, s, 1, idiv(n, 2), "Scope points")
        return string.format("%d bytes", n)
    elseif sub == READ_SERIAL and n >= 2 then
        local value = s:byte(1) * 256 + s:byte(2)
        tree:add(f.serial_value, tvb(0, 2))
        return string.format("serial EEPROM word 0x%04X", value)
    elseif sub == READ_I2C then
        tree:add(f.i2c_data, tvb(0, 1))
        return string.format("I2C byte 0x%02X", s:byte(1))
    elseif sub == READ_BYTE then
        tree:add(f.byte_value, tvb(0, 1))
        return string.format("byte 0x%02X", s:byte(1))
    end
    return string.format("%d bytes", n)
end

------------------------------------------------------------------------
-- Records.

-- The fields of a record: a list of {tag, range (value), header range}.
local function read_fields(tvb, at, tree)
    local fields = {}
    local n = tvb:len()
    while at < n do
        if n - at < FIELD_HEADER then
            tree:add_proto_expert_info(e_malformed, "field header cut off")
            break
        end
        local tag = tvb(at, 2):le_uint()
        local length = tvb(at + 2, 4):le_uint()
        if n - at - FIELD_HEADER < length then
            tree:add_proto_expert_info(e_malformed, "field longer than its record")
            break
        end
        fields[#fields + 1] = {tag = tag, at = at, length = length,
                               value = length > 0 and tvb(at + FIELD_HEADER, length) or nil,
                               whole = tvb(at, FIELD_HEADER + length)}
        at = at + FIELD_HEADER + length
    end
    return fields
end

local function field_tree(tree, field)
    local t = tree:add_le(f.field, field.whole(0, 2))
    t:set_len(field.whole:len())
    t:add_le(f.field_length, field.whole(2, 4))
    return t
end

local function add_arguments(tree, field, names)
    local values = {}
    if not field.value then return values end
    for k = 0, idiv(field.length, 8) - 1 do
        local r = field.value(8 * k, 8)
        local v = r:le_uint64()
        local item = tree:add_le(f.arg, r)
        local name = names and names[k + 1] or ("argument " .. (k + 1))
        local hex = v:tohex():gsub("^0+(.)", "%1")
        item:set_text(string.format("%s: 0x%s (%s)", name, hex, tostring(v)))
        values[k + 1] = v:tonumber()
    end
    return values
end

local function add_text(tree, field)
    if field.value then
        tree:add(f.text, field.value)
        return field.value:string()
    end
    tree:add(f.text, field.whole(0, 0), "")
    return ""
end

-- Arguments shown as pointers (the record keeps their values).
local POINTERS = {version = true, Data = true, ReturnValue = true, OutBuffer = true}

-- Bytes changed in a record (OutPutData): which channel and index.
local function record_position(offset)
    if offset >= CHANNEL_B then return "B", offset - CHANNEL_B end
    return "A", offset
end

local function decode_export(tree, tvb, pinfo, ordinal, result, fields)
    local name = EXPORTS[ordinal] or ("ordinal " .. ordinal)
    local values, details = {}, {}
    local roll_count, roll_invalid
    for _, field in ipairs(fields) do
        local t = field_tree(tree, field)
        if field.tag == 1 then
            values = add_arguments(t, field, EXPORT_ARGUMENTS[ordinal])
        elseif field.tag == 2 and field.value then
            t:add(f.bytes_read, field.value)
            if ordinal == 16 and field.length == 6 then
                t:add_le(f.scope_count, field.value(0, 2))
                t:add_le(f.scope_offset, field.value(2, 2))
                t:add_le(f.scope_step, field.value(4, 2))
                details[#details + 1] = string.format("DataCount %d DataOffset %d Step %d",
                    field.value(0, 2):le_uint(), field.value(2, 2):le_uint(), field.value(4, 2):le_uint())
            elseif ordinal == 13 then
                t:append_text(string.format(": the bit stream, %d bytes", field.length))
            end
        elseif field.tag == 3 and field.value and field.length >= 4 then
            local offset = field.value(0, 4):le_uint()
            t:add_le(f.changed_offset, field.value(0, 4))
            local length = field.length - 4
            if length > 0 then
                t:add(f.bytes_changed, field.value(4, length))
                if ordinal >= 16 then
                    local channel, index = record_position(offset)
                    local s = field.value(4, length):raw()
                    local first, count = 1, length
                    if ordinal == 17 and index == 0 and length >= 2 then
                        -- The roll block's count (A bytes 0-1) or invalid flag (B byte 0).
                        if channel == "A" then
                            roll_count = s:byte(1) + 256 * s:byte(2)
                            t:add(f.points, field.value(4, 2), roll_count)
                        else
                            t:add(f.roll_invalid, field.value(4, 1))
                            roll_invalid = s:byte(1)
                        end
                        first, count = 3, length - 2
                    end
                    t:add(f.channel, channel)
                    local item = t:add(zq, field.value(4, length),
                        string.format("Channel %s, indices %d to %d", channel, index + first - 1, index + length - 1))
                    if count > 0 then
                        local low, high = channel_range(s, first, count)
                        item:append_text(string.format(": %d..%d", low, high))
                    end
                elseif ordinal == 4 and length == 2 then
                    details[#details + 1] = string.format("version %d.%d", field.value(4, 1):uint(),
                        field.value(5, 1):uint())
                elseif ordinal == 14 and length == 2 then
                    t:add_le(f.serial_value, field.value(4, 2))
                    details[#details + 1] = string.format("word 0x%04X", field.value(4, 2):le_uint())
                end
            end
        end
    end
    if ordinal == 17 and roll_count then
        details[#details + 1] = roll_count .. " points" .. (roll_invalid == 1 and ", marked invalid" or "")
    end
    if ordinal == 9 then tree:add(f.byte_value, result) end
    if ordinal == 10 and result <= 255 then tree:add(f.i2c_data, result) end
    local shown = {}
    for k, v in ipairs(values) do
        local argument = EXPORT_ARGUMENTS[ordinal][k]
        if POINTERS[argument] then
            shown[k] = v == 0 and "NULL" or "ptr"
        elseif argument == "address" or argument == "data" or argument == "code" then
            shown[k] = string.format("0x%X", v)
        else
            shown[k] = string.format("%d", v)
        end
    end
    local info = string.format("%s(%s) = %d", name, table.concat(shown, ", "), result)
    if #details > 0 then info = info .. " [" .. table.concat(details, "; ") .. "]" end
    return info
end

local function decode_platform(tree, tvb, pinfo, call, result, fields)
    local name = PLATFORM[call] or ("platform call " .. call)
    local values, texts, extra = {}, {}, {}
    local code
    for _, field in ipairs(fields) do
        local t = field_tree(tree, field)
        if field.tag == 1 then
            values = add_arguments(t, field, PLATFORM_ARGUMENTS[call])
            if call == 6 and field.length >= 16 then
                code = field.value(8, 4):le_uint()
                tree:add_le(f.ioctl, field.value(8, 4))
            end
        elseif field.tag == 2 and field.value then
            t:add(f.bytes_read, field.value)
            if code == WRITE_STREAM then
                local _, summary = decode_stream(t, field.value:tvb("Command stream"), pinfo)
                if #summary > 0 then extra[#extra + 1] = table.concat(summary, ", ") end
            elseif code == WRITE_RAW then
                local bits, bad = decode_fpga(t, field.value:tvb("Raw write"))
                if bad == 0 and bits > 0 then extra[#extra + 1] = string.format("FPGA %d bits", bits) end
            end
        elseif field.tag == 3 and field.value and field.length >= 4 then
            t:add_le(f.changed_offset, field.value(0, 4))
            if field.length > 4 then
                local out = field.value(4, field.length - 4)
                t:add(f.bytes_changed, out)
                if code == READ then
                    if not pinfo.visited then request_of[pinfo.number] = last_request end
                    extra[#extra + 1] = decode_reply(t, out:tvb("Reply"), request_of[pinfo.number])
                end
            end
        elseif field.tag == 4 then
            texts[#texts + 1] = add_text(t, field)
        elseif field.tag == 5 and field.length == 4 then
            t:add_le(f.last_error, field.value)
        elseif field.tag == 6 and field.length == 4 then
            t:add_le(f.returned, field.value)
            if call == 6 then extra[#extra + 1] = "returned " .. field.value:le_uint() end
        end
    end
    local info = name
    if code then info = info .. " " .. (IOCTL[code] or string.format("0x%X", code)) end
    if #texts > 0 then info = info .. " \"" .. table.concat(texts, "\" \"") .. "\"" end
    -- Handles as hex, other results in decimal.
    info = info .. ((call == 1 or call == 5) and string.format(" = 0x%X", result) or string.format(" = %d", result))
    if #extra > 0 then info = info .. " [" .. table.concat(extra, "; ") .. "]" end
    return info
end

local function decode_writes(tree, tvb, fields)
    local total, parts = 0, {}
    for _, field in ipairs(fields) do
        local t = field_tree(tree, field)
        if field.tag == 7 and field.value then
            local s = field.value:raw()
            local count = idiv(field.length, 2)
            total = total + count
            t:add(f.writes, count)
            local address = nil
            for k = 0, count - 1 do
                local ordinal, value = s:byte(2 * k + 1, 2 * k + 2)
                local r = field.value(2 * k, 2)
                local item = t:add(f.write_kind, field.value(2 * k, 1))
                item:set_len(2)
                if ordinal == 7 then
                    item:add(f.address, field.value(2 * k + 1, 1))
                    item:append_text(string.format(": address 0x%02X", value))
                    address = value
                elseif ordinal == 8 then
                    item:add(f.data, field.value(2 * k + 1, 1))
                    item:append_text(string.format(": data 0x%02X%s", value,
                        address and string.format(" (register 0x%02X)", address) or ""))
                end
                if #parts < 6 then
                    parts[#parts + 1] = ordinal == 6 and "EPB" or string.format("%s 0x%02X",
                        ordinal == 7 and "A" or "D", value)
                end
            end
        end
    end
    return string.format("%d register writes: %s%s", total, table.concat(parts, " "), total > 6 and " ..." or "")
end

local function decode_session(tree, kind, fields)
    local info = KIND[kind]
    for _, field in ipairs(fields) do
        local t = field_tree(tree, field)
        if field.tag == 4 then
            local text = add_text(t, field)
            if kind == 1 then t:add(f.version, field.value); info = info .. ", zqlusb " .. text end
            if kind == 5 then info = info .. ", older records in " .. text end
        elseif field.tag == 1 then
            local values = add_arguments(t, field, kind == 1 and {"process id", "pointer width in bits"} or
                {"last record number there"})
            if kind == 1 and values[1] then
                t:add(f.pid, field.value(0, 4))
                info = info .. string.format(", process %d, %d-bit", values[1], values[2] or 0)
            elseif kind == 5 and values[1] then
                t:add(f.continued_last, field.value(0, 4))
                info = info .. string.format(" (up to record %d)", values[1])
            end
        end
    end
    return info
end

function zq.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "ZQLUSB"
    local root = tree:add(zq, tvb())
    if tvb:len() < RECORD_HEADER then
        root:add_proto_expert_info(e_malformed, "record shorter than its header")
        return
    end
    local kind, call, depth = tvb(0, 1):uint(), tvb(1, 1):uint(), tvb(2, 1):uint()
    local result = tvb(12, 4):le_uint()
    root:add(f.kind, tvb(0, 1))
    if kind == 2 then
        root:add(f.export, tvb(1, 1))
    elseif kind == 3 then
        root:add(f.platform, tvb(1, 1))
    else
        root:add(f.call, tvb(1, 1))
    end
    root:add(f.depth, tvb(2, 1))
    root:add(f.flags, tvb(3, 1))
    root:add_le(f.thread, tvb(4, 4))
    root:add_le(f.record, tvb(8, 4))
    root:add_le(f.result, tvb(12, 4))
    local fields = read_fields(tvb, RECORD_HEADER, root)
    local info
    if kind == 2 then
        info = decode_export(root, tvb, pinfo, call, result, fields)
    elseif kind == 3 then
        info = decode_platform(root, tvb, pinfo, call, result, fields)
    elseif kind == 4 then
        info = decode_writes(root, tvb, fields)
    else
        info = decode_session(root, kind, fields)
    end
    if depth > 0 then info = string.format("[dialog depth %d] %s", depth, info) end
    info = info:gsub("[\r\n]+", " ")
    root:append_text(string.format(", record %d: %s", tvb(8, 4):le_uint(), info))
    pinfo.cols.info = info
    return tvb:len()
end
