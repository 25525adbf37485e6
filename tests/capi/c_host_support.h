#ifndef KORVANI_TESTS_C_HOST_SUPPORT_H
#define KORVANI_TESTS_C_HOST_SUPPORT_H

// What the C test hosts share: the korvani-sandbox program as a child process, and the count of
// this process's threads.

// The running sandbox: its base URL and the file holding its CA certificate.
extern char sandbox_url[128];
extern char sandbox_ca[64];

// Starts `program` with the slow scenario held `slow_ms` milliseconds; non-zero once it serves.
// The child ends with this process, however it ends.
int start_sandbox(const char* program, const char* slow_ms);
void stop_sandbox(void);

// Threads of this process now.
int thread_count(void);
// Threads of this process before the library runs, counted once a thread has been made and
// joined: ThreadSanitizer starts a thread of its own at the first one.
int threads_without_the_library(void);

#endif
