// vantrel publishing: the HTTP client.
#include "http_client.hpp"

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <stdexcept>

#include "fd.hpp"

namespace vantrel::publish {

namespace {

// What a transfer gathers; a callback that refuses more data ends the transfer.
struct Gathered {
    std::string body;
    std::size_t headBytes = 0;
    const char* tooLarge = nullptr;  // "body" or "head" when a bound was passed
};

std::size_t onBody(char* data, std::size_t, std::size_t n, void* user) {
    auto& g = *static_cast<Gathered*>(user);
    if (g.body.size() + n > HttpClient::kMaxBody) {
        g.tooLarge = "body";
        return 0;
    }
    g.body.append(data, n);
    return n;
}

std::size_t onHead(char*, std::size_t, std::size_t n, void* user) {
    auto& g = *static_cast<Gathered*>(user);
    g.headBytes += n;
    if (g.headBytes > HttpClient::kMaxHead) {
        g.tooLarge = "head";
        return 0;
    }
    return n;
}

CURL* handle(void* p) {
    return static_cast<CURL*>(p);
}

}  // namespace

std::string urlEncode(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

HttpClient::HttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    curl_ = curl_easy_init();
    if (!curl_) throw std::runtime_error("libcurl cannot be set up");
}

HttpClient::~HttpClient() {
    curl_easy_cleanup(handle(curl_));
}

HttpReply HttpClient::request(const Endpoint& server, std::string_view method,
                              std::string_view target, std::string_view body, std::string_view type,
                              std::chrono::milliseconds timeout) {
    CURL* c = handle(curl_);
    curl_easy_reset(c);
    const std::string where = server.host + ":" + std::to_string(server.port);
    const bool v6 = server.host.find(':') != std::string::npos;
    const bool tls = credentials_.tls();
    const std::string url = (tls ? "https://" : "http://") +
                            (v6 ? "[" + server.host + "]" : server.host) + ":" +
                            std::to_string(server.port) + std::string(target);
    Gathered g;
    char problem[CURL_ERROR_SIZE] = "";
    curl_slist* fields = nullptr;
    const std::string contentType = "Content-Type: " + std::string(type);
    if (!body.empty() || method == "POST") fields = curl_slist_append(fields, contentType.c_str());
    // A server may hold a reply back for a second after "Expect: 100-continue".
    fields = curl_slist_append(fields, "Expect:");
    const std::string methodText(method);
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, tls ? "https" : "http");
    if (tls) curl_easy_setopt(c, CURLOPT_CAINFO, credentials_.caFile.c_str());
    if (!credentials_.user.empty()) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(c, CURLOPT_USERNAME, credentials_.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, credentials_.password.c_str());
    }
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, problem);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "vantrel");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, fields);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &g);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHead);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &g);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBody));
    if (method == "POST" || !body.empty()) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }
    if (method != "GET" && method != "POST")
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, methodText.c_str());
    else if (method == "GET" && !body.empty())
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "GET");
    const CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(fields);
    HttpReply reply;
    if (rc == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        reply.status = static_cast<int>(status);
        reply.body = std::move(g.body);
        return reply;
    }
    if (g.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
        reply.error =
            "reply from " + where + ": its " + (g.tooLarge ? g.tooLarge : "body") +
            " is larger than " +
            std::to_string((g.tooLarge && *g.tooLarge == 'h' ? kMaxHead : kMaxBody) / 1024) +
            " KiB";
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
        reply.error =
            "reply from " + where + ": timed out after " + std::to_string(timeout.count()) + " ms";
    } else if (rc == CURLE_COULDNT_CONNECT) {
        long os = 0;
        curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &os);
        reply.error = os != 0 ? sysMessage("connect", where, static_cast<int>(os))
                              : "connect " + where + ": " + curl_easy_strerror(rc);
    } else {
        reply.error = where + ": " + (*problem ? problem : curl_easy_strerror(rc));
    }
    return reply;
}

HttpReply httpRequest(const Endpoint& server, std::string_view method, std::string_view target,
                      std::string_view body, std::string_view type,
                      std::chrono::milliseconds timeout) {
    HttpClient client;
    return client.request(server, method, target, body, type, timeout);
}

}  // namespace vantrel::publish
