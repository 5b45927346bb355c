#include "directory/curl_http_client.h"

#include <QLoggingCategory>
#include <QString>

#include <curl/curl.h>

#include <memory>
#include <mutex>

// Directory requests, their results and why a reply was refused (debug level).
Q_LOGGING_CATEGORY(lumoDirectory, "lumo.directory", QtInfoMsg)

namespace lumo {

namespace {

struct Transfer {
    std::string body;
    std::size_t maxBytes = 0;
    bool overLimit = false;
};

// Appends a chunk of the body; refusing a chunk (returning less than its size) makes curl abort
// the transfer, which is what a body over the limit deserves.
std::size_t appendChunk(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (bytes > transfer->maxBytes - transfer->body.size()) {
        transfer->overLimit = true;
        return 0;
    }
    transfer->body.append(data, bytes);
    return bytes;
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

CurlHttpClient::CurlHttpClient(std::string sourceAddress) : sourceAddress_(std::move(sourceAddress))
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpReply CurlHttpClient::get(const std::string& url, const HttpLimits& limits)
{
    HttpReply reply;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return reply;
    CURL* handle = easy.get();

    Transfer transfer;
    transfer.maxBytes = limits.maxBodyBytes;
    const std::string sourceInterface = "host!" + sourceAddress_;
    Kept kept;
    {
        std::lock_guard lock(mutex_);
        if (const auto it = kept_.find(url); it != kept_.end()) kept = it->second;
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, curl_slist_free_all);
    if (!kept.etag.empty()) headers.reset(curl_slist_append(nullptr, ("If-None-Match: " + kept.etag).c_str()));

    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "LUMO");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendChunk);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");  // every coding this curl decodes
    if (headers) curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    if (!sourceAddress_.empty()) curl_easy_setopt(handle, CURLOPT_INTERFACE, sourceInterface.c_str());

    // A declared length over the limit is refused before the body is read.
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
    const QString shownUrl = QString::fromLatin1(url.data(), qsizetype(url.size()));
    qCDebug(lumoDirectory).noquote() << "GET" << shownUrl;
    const CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK) {
        reply.tooLarge = result == CURLE_FILESIZE_EXCEEDED || (result == CURLE_WRITE_ERROR && transfer.overLimit);
        qCDebug(lumoDirectory).noquote() << "GET" << shownUrl << "failed:"
                                         << (reply.tooLarge ? QStringLiteral("reply larger than %1 bytes").arg(limits.maxBodyBytes)
                                                            : QString::fromUtf8(curl_easy_strerror(result)));
        return reply;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t received = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &received);
    reply.opened = true;
    if (status == 304 && !kept.etag.empty()) {
        qCDebug(lumoDirectory).noquote() << "GET" << shownUrl << "not modified: the kept" << kept.body.size()
                                         << "bytes stand";
        reply.body = std::move(kept.body);
        return reply;
    }
    qCDebug(lumoDirectory).noquote() << "GET" << shownUrl << "answered" << status << "with" << transfer.body.size()
                                     << "bytes (" << received << "on the wire)";
    if (status == 200) {
        curl_header* etag = nullptr;
        const bool tagged = curl_easy_header(handle, "ETag", 0, CURLH_HEADER, -1, &etag) == CURLHE_OK;
        std::lock_guard lock(mutex_);
        if (!tagged) {
            kept_.erase(url);
        } else {
            if (kept_.size() >= MaxKept && !kept_.count(url)) kept_.erase(kept_.begin());
            kept_[url] = {etag->value, transfer.body};
        }
    }
    reply.body = std::move(transfer.body);
    return reply;
}

}  // namespace lumo
