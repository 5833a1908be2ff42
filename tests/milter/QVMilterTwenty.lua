-- Twenty connections at once, each halfway through its message before any ends it: every
-- one rebuilt.
dofile(dir .. "/QVMilterSend.lua")
local conns, bodies = {}, {}
for k = 1, 20 do
  conns[k], bodies[k] = open(sample, { [SMFIC_MAIL] = { "{auth_authen}", "alice", "i", "Q" .. k } })
  assert(mt.bodystring(conns[k], bodies[k]:sub(1, 1000)) == nil, "body " .. k)
end
for k, conn in ipairs(conns) do
  assert(mt.bodystring(conn, bodies[k]:sub(1001)) == nil, "body " .. k)
  assert(mt.eom(conn) == nil, "eom " .. k)
  assert(accepted(conn), "connection " .. k .. ": not accepted")
  assert(mt.eom_check(conn, MT_BODYCHANGE), "connection " .. k .. ": body")
  mt.disconnect(conn)
end
