-- The filter's answers, one row per case: -D socket=... -D dir=... (the messages' folder).
dofile(dir .. "/QVMilterSend.lua")

local cases = {
  -- A message Mail wrote, with pictures placed in its text: body and Content-Type changed.
  { file = sample, macros = outgoing, changed = true },
  -- The same message from a sender who is not authenticated: mail that does not leave.
  { file = sample, macros = { [SMFIC_MAIL] = { "i", "5AbCdE" } }, changed = false },
  -- The same on the submission port.
  { file = sample, macros = { [SMFIC_CONNECT] = { "{daemon_name}", "ORIGINATING" } },
    changed = true },
  -- Signed: left as it is.
  { file = dir .. "/signed.eml", macros = outgoing, changed = false },
  -- Without MIME-Version: the rebuilt message gets one.
  { file = dir .. "/no-mime-version.eml", macros = outgoing, changed = true, mime = true },
  -- Not a message at all: accepted as it came.
  { file = dir .. "/garbage.eml", macros = outgoing, changed = false },
}
for k, case in ipairs(cases) do
  local conn = send(case.file, case.macros)
  assert(accepted(conn), "case " .. k .. ": not accepted")
  assert(mt.eom_check(conn, MT_BODYCHANGE) == case.changed, "case " .. k .. ": body")
  assert(mt.eom_check(conn, MT_HDRCHANGE, "Content-Type") == case.changed,
         "case " .. k .. ": Content-Type")
  assert(mt.eom_check(conn, MT_HDRADD, "MIME-Version", "1.0") == (case.mime == true),
         "case " .. k .. ": MIME-Version")
  mt.disconnect(conn)
end
