// The class factories of VDIPCConnection: which transport makes the
// connection, the server handler installed before anything can arrive, the
// created notification and the failure lines.
#include "app/VDApplication.h"
#include "ipc/IPCKeys.h"
#include "ipc/VDIPCConnection.h"
#include "ipc/VDIPCConnectionMach.h"
#include "ipc/VDIPCConnectionXPC.h"

namespace {

std::shared_ptr<VDIPCConnection> announced(std::shared_ptr<VDIPCConnection> connection, const char* failure) {
    if (!connection) {
        VDLog(1, "%s", failure);
        return nullptr;
    }
    connection->postNotification(vdipc::kConnectionCreatedNotification, {});
    return connection;
}

// A setup block of either transport that makes the handler the server handler.
auto installing(std::shared_ptr<VDIPCHandler> handler) {
    return [handler = std::move(handler)](const auto& connection) {
        if (auto ctx = connection->context()) ctx->setServerHandler(handler);
    };
}

} // namespace

std::shared_ptr<VDIPCConnection> VDIPCConnection::connectionWithServiceName(std::string_view name) {
    if (name.empty()) return nullptr;
    return announced(VDIPCConnectionMach::connectionWithServiceName(name), "Service connection failed.");
}

std::shared_ptr<VDIPCConnection> VDIPCConnection::serviceConnnectionWithName(std::string_view name,
                                                                             std::shared_ptr<pf::dispatch::Queue> queue,
                                                                             VDIPCHandlerBlock handler) {
    if (name.empty()) return nullptr;
    auto serverHandler = VDIPCHandler::initWithDelegate(std::move(queue), std::move(handler));
    return announced(VDIPCConnectionMach::serviceConnnectionWithName(name, installing(std::move(serverHandler))),
                     "Service creation failed.");
}

std::shared_ptr<VDIPCConnection> VDIPCConnection::connectionWithXPCName(std::string_view name) {
    if (name.empty()) return nullptr;
    return announced(VDIPCConnectionXPC::connectionWithName(name), "Service connection failed.");
}

std::shared_ptr<VDIPCConnection> VDIPCConnection::connectionWithXPCServiceName(std::string_view name,
                                                                               bool privileged) {
    if (name.empty()) return nullptr;
    return announced(VDIPCConnectionXPC::connectionWithServiceName(name, privileged), "Service connection failed.");
}

std::shared_ptr<VDIPCConnection> VDIPCConnection::serviceConnectionWithXPCConnection(
    std::shared_ptr<pf::xpc::Connection> peer, std::shared_ptr<pf::dispatch::Queue> queue,
    VDIPCHandlerBlock handler) {
    auto connection = VDIPCConnectionXPC::serviceConnectionWithXPCConnection(std::move(peer));
    // The peer is resumed 1 ms later, so the handler is in place before
    // anything can arrive.
    if (connection)
        connection->context()->setServerHandler(VDIPCHandler::initWithDelegate(std::move(queue), std::move(handler)));
    return announced(connection, "XPC Service creation failed.");
}

std::shared_ptr<VDIPCConnection> VDIPCConnection::serviceConnectionWithXPCName(
    std::string_view name, std::shared_ptr<pf::dispatch::Queue> queue, VDIPCHandlerBlock handler) {
    if (name.empty()) return nullptr;
    auto serverHandler = VDIPCHandler::initWithDelegate(std::move(queue), std::move(handler));
    return announced(VDIPCConnectionXPC::serviceConnnectionWithName(name, installing(std::move(serverHandler))),
                     "XPC Service creation failed.");
}
