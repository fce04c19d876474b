// The host's mutual-exclusion lock.
#ifndef HAIKU_EXEC_SEMAPHORES_H
#define HAIKU_EXEC_SEMAPHORES_H

#include <pthread.h>

struct SignalSemaphore {
    pthread_mutex_t sem;
};

#endif
