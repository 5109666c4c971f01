-- A minimal sub-dissector for nRF24 payloads, to copy and adapt.
-- It joins the heuristic list "nrf24": the nrf24 dissector offers it every
-- payload whose CRC is good, byte-aligned, in a buffer of its own. A member that
-- takes the payload sets the Protocol column; one that refuses it leaves "nrf24".
--
-- The toy protocol: a marker byte 0xA5, a count N, then N data bytes.
--   tshark -X lua_script:nrf24-hello.lua -r capture.pcap -V
-- or copy this file into ~/.local/lib/wireshark/plugins/.

local hello = Proto("nrf24hello", "nRF24 Hello example")
local f_count = ProtoField.uint8("nrf24hello.count", "Count", base.DEC)
local f_data = ProtoField.bytes("nrf24hello.data", "Data")
hello.fields = { f_count, f_data }

-- Claims a payload only when it is surely ours; anything else stays with nrf24.
local function heuristic(tvb, pinfo, tree)
    local len = tvb:len()
    if len < 2 or tvb(0, 1):uint() ~= 0xA5 or tvb(1, 1):uint() ~= len - 2 then
        return false
    end
    local subtree = tree:add(hello, tvb())
    subtree:add(f_count, tvb(1, 1))
    if len > 2 then
        subtree:add(f_data, tvb(2))
    end
    pinfo.cols.protocol = "nrf24hello"
    pinfo.cols.info:append(" [hello, " .. (len - 2) .. " bytes]")
    return true
end

hello:register_heuristic("nrf24", heuristic)
