// libcurl handles that outlive single requests.
//
// Each thread keeps its own easy handles: a handle given back is reset, which
// clears its options but keeps its open connections, so
// the next request to the same host reuses one. All handles share one share
// handle for TLS sessions and DNS results (libcurl cannot share a connection
// cache between concurrent threads). A thread's idle handles are cleaned up
// when the thread ends.
#pragma once

#include <curl/curl.h>

class NXCurlHandlePool {
public:
    // An easy handle for the calling thread with default options; null when libcurl cannot make one.
    static CURL* acquire();
    // Gives a handle from acquire() back to the calling thread's idle handles.
    static void release(CURL* easy);
};
