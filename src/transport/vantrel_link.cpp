// vantrel: "vantrel://HOST:PORT[?token-file=PATH&timeout=SECONDS][#BOARD]", a board shared by
// `vantrel serve --listen` over TCP. The daemon asks for its token: the first line of the file
// that token-file names, else of the file $VANTREL_TOKEN_FILE names (a file only this user
// can read; see readTokenFile).
#include <cstdlib>

#include "transport/net_serial.hpp"
#include "transport/serve_client.hpp"
#include "transport/serve_protocol.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

constexpr std::string_view kScheme = "vantrel://";

ServeConnection dialTcp(const std::string& device, const StopSignalWatch& stop) {
    const ServeUrl url = splitServeUrl(device, kScheme, {"timeout", "token-file"});
    NetAddress address = parseNetAddress(std::string(kScheme) + url.where, kScheme);
    address.timeout = serveTimeout(url, device);
    std::string tokenFile;
    for (const auto& [name, value] : url.options)
        if (name == "token-file") tokenFile = value;
    if (tokenFile.empty()) {
        const char* env = std::getenv("VANTREL_TOKEN_FILE");
        if (env == nullptr || *env == '\0')
            throw Error(err::PortOpenFailed,
                        std::string(kScheme) + url.where +
                            ": no token (give ?token-file=PATH or set VANTREL_TOKEN_FILE)");
        tokenFile = env;
    }
    ServeConnection c;
    try {
        c.token = serve::readTokenFile(tokenFile);
    } catch (const Error& e) {
        throw Error(err::PortOpenFailed, std::string(kScheme) + url.where + ": " + e.what());
    }
    c.board = url.board;
    c.deadline = std::chrono::steady_clock::now() + address.timeout;
    c.sock = connectTo(address, c.deadline, stop);
    return c;
}

}  // namespace

std::unique_ptr<Link> makeVantrelServeLink(EventLoop& loop, SerialBase& base) {
    return makeServeClientLink(loop, base, kScheme, dialTcp);
}

}  // namespace vantrel
