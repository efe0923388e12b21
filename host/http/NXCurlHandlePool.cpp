#include "host/http/NXCurlHandlePool.h"

#include <mutex>
#include <vector>

namespace {

// Process-wide libcurl state. Made once, on first use, and never torn down:
// threads that are still running while the process exits may use it.
struct CurlGlobal {
    CURLSH* share = nullptr;
    std::mutex locks[CURL_LOCK_DATA_LAST];

    CurlGlobal() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        share = curl_share_init();
        if (!share) return;
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &CurlGlobal::lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &CurlGlobal::unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* userptr) {
        static_cast<CurlGlobal*>(userptr)->locks[data].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* userptr) {
        static_cast<CurlGlobal*>(userptr)->locks[data].unlock();
    }
};

CurlGlobal& curlGlobal() {
    static CurlGlobal* global = new CurlGlobal();  // thread-safe one-time init
    return *global;
}

struct ThreadHandles {
    std::vector<CURL*> idle;
    ~ThreadHandles() {
        for (CURL* easy : idle) curl_easy_cleanup(easy);
    }
};

thread_local ThreadHandles threadHandles;

}  // namespace

CURL* NXCurlHandlePool::acquire() {
    std::vector<CURL*>& idle = threadHandles.idle;
    if (!idle.empty()) {
        CURL* easy = idle.back();
        idle.pop_back();
        return easy;
    }
    CurlGlobal& global = curlGlobal();
    CURL* easy = curl_easy_init();
    if (easy && global.share) curl_easy_setopt(easy, CURLOPT_SHARE, global.share);
    return easy;
}

void NXCurlHandlePool::release(CURL* easy) {
    if (!easy) return;
    // Drops the options (and the caller's pointers in them) but keeps connections and the share.
    curl_easy_reset(easy);
    threadHandles.idle.push_back(easy);
}
