#pragma once
// Requests answered later, from another thread: the handler takes a copy of the request and
// returns TREL_REPLY_LATER; whoever runs the copy completes it, and the reply then goes out on
// the connection the request came on, or nowhere when that connection is gone.
#include <cerrno>

#include "bus/trel.h"

// A handler result: the reply follows through trelCompleteDeferred.
constexpr int TREL_REPLY_LATER = -EINPROGRESS;

struct TrelDeferred;

// A copy of the request with its own payload and reply area, or null when out of memory.
TrelDeferred* trelDeferRequest(const TrelRequest* request);
// The copy, for the handler that runs it.
TrelRequest* trelDeferredRequest(TrelDeferred* deferred);
// Finishes the reply (the same check as every reply), sends it when one was wanted and the
// connection is still the one the request came on, and frees the copy. Any thread.
void trelCompleteDeferred(TrelDeferred* deferred, int result);
