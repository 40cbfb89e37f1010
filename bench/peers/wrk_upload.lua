-- wrk script of bench/serve_compare (and bench/serve_access_cost.sh): POST
-- /upload with a 10 KiB file, each request under its own file name (thread
-- number and counter). ZMFILE_AUTHORIZATION, when set, is sent as the
-- Authorization header.
local boundary = "wrkBoundary9QxZ"
local data = string.rep("0123456789abcdef", 640)  -- 10 KiB
local counter = 0
local next_thread = 0
local authorization = os.getenv("ZMFILE_AUTHORIZATION")

-- thread_id is a global of each thread's own Lua state, set from the main one.
function setup(thread)
  thread:set("thread_id", next_thread)
  next_thread = next_thread + 1
end

function request()
  counter = counter + 1
  local name = "wrk-" .. thread_id .. "-" .. counter .. ".bin"
  local body = "--" .. boundary .. "\r\n" ..
      "Content-Disposition: form-data; name=\"upload1\"; filename=\"" .. name .. "\"\r\n" ..
      "Content-Type: application/octet-stream\r\n\r\n" .. data .. "\r\n--" .. boundary .. "--\r\n"
  local headers = {
    ["Content-Type"] = "multipart/form-data; boundary=" .. boundary,
    ["Accept"] = "application/json",
  }
  if authorization then headers["Authorization"] = authorization end
  return wrk.format("POST", "/upload", headers, body)
end
