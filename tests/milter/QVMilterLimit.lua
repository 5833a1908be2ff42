-- A filter whose size limit (2 KB, from its settings file) the message passes: accepted as it
-- came.
dofile(dir .. "/QVMilterSend.lua")
local conn = send(sample, outgoing)
assert(accepted(conn), "not accepted")
assert(not mt.eom_check(conn, MT_BODYCHANGE), "body changed")
assert(not mt.eom_check(conn, MT_HDRCHANGE), "header changed")
mt.disconnect(conn)
