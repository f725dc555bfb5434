#pragma once
// Scoped hold of a client's sendLock: every frame write and every change of the socket
// happens under it.
#include <pthread.h>

#include "bus/trel_client_state.h"

class TrelSendLock {
  public:
    explicit TrelSendLock(TrelClient* client) : mutex_(&client->sendLock) {
        pthread_mutex_lock(mutex_);
    }
    ~TrelSendLock() { pthread_mutex_unlock(mutex_); }
    TrelSendLock(const TrelSendLock&) = delete;
    TrelSendLock& operator=(const TrelSendLock&) = delete;

  private:
    pthread_mutex_t* mutex_;
};
