#include "server/upload_server.h"

#include "server/server_core.h"

namespace zimrax::zmfile {

UploadServer::UploadServer(ServeConfig config, std::ostream& log, ServerAccess access)
    : core_(std::make_unique<ServerCore>(std::move(config), log, std::move(access))) {}

UploadServer::~UploadServer() = default;

bool UploadServer::Bind() { return core_->Bind(); }

int UploadServer::port() const { return core_->port(); }

bool UploadServer::Run() { return core_->Run(); }

}  // namespace zimrax::zmfile
