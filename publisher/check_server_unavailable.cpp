#include "publisher/check_server.h"
#include "publisher/tool_error.h"

bool CheckServer(const CheckServerRequest&) {
  throw ToolError("check-server needs the Linux build of updater-manifest (it uses libcurl)");
}
