#define _POSIX_C_SOURCE 200809L

#include "c_host_support.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

char sandbox_url[128];
char sandbox_ca[64];
static pid_t sandbox_pid;

// Its first line on stdout is the base URL, printed once the CA file is written.
int start_sandbox(const char* program, const char* slow_ms) {
  int out[2];
  char* argv[] = {(char*)program, "--quiet",  "--slow-ms", (char*)slow_ms,
                  "--ca-out",     sandbox_ca, NULL};
  FILE* stream;
  snprintf(sandbox_ca, sizeof sandbox_ca, "/tmp/korvani-capi-ca-%ld.pem", (long)getpid());
  if (pipe(out) != 0) return 0;
  sandbox_pid = fork();
  if (sandbox_pid < 0) return 0;
  if (sandbox_pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execv(program, argv);
    _exit(127);
  }
  close(out[1]);
  stream = fdopen(out[0], "r");
  if (!stream || !fgets(sandbox_url, sizeof sandbox_url, stream)) return 0;
  sandbox_url[strcspn(sandbox_url, "\n")] = '\0';
  fclose(stream);
  return strncmp(sandbox_url, "https://", 8) == 0;
}

void stop_sandbox(void) {
  int status;
  if (sandbox_pid <= 0) return;
  kill(sandbox_pid, SIGTERM);
  waitpid(sandbox_pid, &status, 0);
  unlink(sandbox_ca);
}

int thread_count(void) {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  struct dirent* entry;
  if (!tasks) return -1;
  while ((entry = readdir(tasks)) != NULL) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count;
}

static void* do_nothing(void* argument) {
  return argument;
}

int threads_without_the_library(void) {
  pthread_t thread;
  if (pthread_create(&thread, NULL, do_nothing, NULL) == 0) pthread_join(thread, NULL);
  return thread_count();
}
