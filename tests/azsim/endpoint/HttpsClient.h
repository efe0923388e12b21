// A libcurl client that reaches a blob endpoint under the cloud's own host names. Requests of one client
// share its handle, so its connection stays open (kept alive) between them until the client goes.
#pragma once

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct HttpReply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case

    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
    // The <Code> of an XML error body.
    std::string errorCode() const {
        std::size_t start = body.find("<Code>"), end = body.find("</Code>");
        return start == std::string::npos || end < start ? std::string() : body.substr(start + 6, end - start - 6);
    }
};

struct HttpCall {
    std::string method = "GET";
    std::string url;
    std::vector<std::string> headers;
    const std::string* body = nullptr;  // sent with PUT
    long timeoutSeconds = 60;
};

class HttpsClient {
public:
    // `connectTo` routes the cloud's host names to the endpoint, whose certificates `caPath` signs.
    HttpsClient(const std::string& connectTo, const std::string& caPath)
        : route_(curl_slist_append(nullptr, connectTo.c_str()), curl_slist_free_all), ca_(caPath) {}

    HttpReply send(const HttpCall& call) {
        HttpReply reply;
        CURL* curl = curl_.get();
        curl_easy_reset(curl);
        curl_slist* headers = nullptr;
        for (const std::string& h : call.headers) headers = curl_slist_append(headers, h.c_str());
        curl_easy_setopt(curl, CURLOPT_URL, call.url.c_str());
        curl_easy_setopt(curl, CURLOPT_CONNECT_TO, route_.get());
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, call.timeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
        if (call.method == "HEAD") {
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        } else if (call.method != "GET") {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
            const std::string body = call.body ? *call.body : std::string();
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
        }
        reply.code = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        curl_slist_free_all(headers);
        return reply;
    }

private:
    static size_t collectBody(char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    }
    static size_t collectHeader(char* data, size_t size, size_t count, void* out) {
        std::string line(data, size * count);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon), value = line.substr(colon + 1);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            value.erase(0, value.find_first_not_of(' '));
            value.erase(value.find_last_not_of("\r\n") + 1);
            (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
        }
        return size * count;
    }

    std::unique_ptr<CURL, void (*)(CURL*)> curl_{curl_easy_init(), curl_easy_cleanup};
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> route_;
    std::string ca_;
};
