// vantrel: "vantrel://HOST:PORT[?token-file=PATH&timeout=SECONDS][#BOARD]", a board shared by
// `vantrel serve --listen` over TCP. The daemon asks for its token: the first line of the file
// that token-file names, else of the file $VANTREL_TOKEN_FILE names.
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "transport/net_serial.hpp"
#include "transport/serve_client.hpp"
#include "vantrel/error.hpp"

namespace vantrel {

namespace {

constexpr std::string_view kScheme = "vantrel://";

std::string readToken(const std::string& device, const std::string& path) {
    std::ifstream in(path);
    std::string token;
    if (!in || !std::getline(in, token))
        throw Error(err::PortOpenFailed, device + ": the token file " + path + " cannot be read");
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.empty())
        throw Error(err::PortOpenFailed, device + ": the token file " + path + " is empty");
    return token;
}

ServeConnection dialTcp(const std::string& device, const StopSignals& stop) {
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
    c.token = readToken(std::string(kScheme) + url.where, tokenFile);
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
