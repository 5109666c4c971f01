-- Test member of the "nrf24" heuristic list: says on stderr each time it is
-- called, takes payloads that start with 0x03 and writes its own Protocol text.
local probe = Proto("nrf24probe", "nrf24 hand-off probe")
local f_first = ProtoField.uint8("nrf24probe.first", "First byte", base.HEX)
local f_len = ProtoField.uint8("nrf24probe.len", "Length", base.DEC)
probe.fields = { f_first, f_len }

probe:register_heuristic("nrf24", function(tvb, pinfo, tree)
    io.stderr:write("probe called with " .. tvb:bytes():tohex() .. "\n")
    if tvb(0, 1):uint() ~= 0x03 then
        return false
    end
    local subtree = tree:add(probe, tvb())
    subtree:add(f_first, tvb(0, 1))
    subtree:add(f_len, tvb:len())
    pinfo.cols.protocol = "probe"
    return true
end)
