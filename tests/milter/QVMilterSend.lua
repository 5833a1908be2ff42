-- Sends one message file through the filter at `socket` (given with -D socket=...), as the
-- mail server would: connection, macros, envelope, each header field, the body in CR LF
-- chunks, end of message. Returns the connection, for the script's checks.
function send(file, macros)
  local conn, body = open(file, macros)
  for at = 1, #body, 65535 do
    assert(mt.bodystring(conn, body:sub(at, at + 65534)) == nil, "body")
  end
  assert(mt.eom(conn) == nil, "eom")
  return conn
end

-- The message's connection up to the end of its header; the connection and the body (CR LF
-- line ends) still to send.
function open(file, macros)
  local conn = mt.connect(socket, 40, 0.05)
  assert(conn, "cannot connect to " .. socket)
  -- Each step's macros just before it (a later step's command clears them).
  local function macrosOf(step)
    local given = (macros or {})[step]
    if given then mt.macro(conn, step, table.unpack(given)) end
  end
  macrosOf(SMFIC_CONNECT)
  assert(mt.conninfo(conn, "localhost", "127.0.0.1") == nil, "conninfo")
  assert(mt.helo(conn, "client.example.org") == nil, "helo")
  local f = assert(io.open(file, "rb"))
  local text = f:read("a"):gsub("\r\n", "\n")
  f:close()
  macrosOf(SMFIC_MAIL)
  -- The size the client declares, as an ESMTP client does.
  assert(mt.mailfrom(conn, "<a@example.org>", "SIZE=" .. #text) == nil, "mailfrom")
  assert(mt.rcptto(conn, "<b@example.net>") == nil, "rcptto")
  local split = text:find("\n\n", 1, true) or #text
  local header, body = text:sub(1, split), text:sub(split + 2)
  local name, value = nil, nil
  local function flush()
    if name then assert(mt.header(conn, name, value) == nil, "header " .. name) end
  end
  for row in header:gmatch("([^\n]*)\n") do
    if row:match("^[ \t]") and name then
      value = value .. "\n" .. row
    else
      flush()
      name, value = row:match("^([^:]+):[ ]?(.*)$")
    end
  end
  flush()
  assert(mt.eoh(conn) == nil, "eoh")
  return conn, (body:gsub("\n", "\r\n"))
end

-- The filter lets every message through: it never rejects or asks to try later.
function accepted(conn)
  local reply = mt.getreply(conn)
  return reply == SMFIR_CONTINUE or reply == SMFIR_ACCEPT
end

outgoing = { [SMFIC_MAIL] = { "{auth_authen}", "alice", "i", "4AbCdE" } }
