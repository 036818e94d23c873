/* Starts programs the way a web server starts a CGI: fork, stdin from a
 * file, stdout to /dev/null, exec, wait4. Programs take turns, so drift of
 * the machine during the run touches all of them alike. Prints one line per
 * program: median, 10th and 90th percentile wall time of a whole process in
 * microseconds, the largest resident set (max RSS) of any run in KiB, and
 * the median processor time (user and system) of the program itself in
 * microseconds: what it spends, not what it waits for.
 *
 *   runner COUNT INPUT PROGRAM...
 *
 * The environment (REQUEST_METHOD, CONTENT_LENGTH, ...) is passed on. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int by_value(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

/* One start of program; its wall time, or a negative value when it failed. */
static double run_once(const char* program, const char* input, long* max_rss, double* cpu) {
  double start = now_us();
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int in = open(input, O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(127);
    close(in);
    close(out);
    execl(program, program, (char*)NULL);
    _exit(127);
  }
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  double took = now_us() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  if (usage.ru_maxrss > *max_rss) *max_rss = usage.ru_maxrss;
  *cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
  return took;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: runner COUNT INPUT PROGRAM...\n");
    return 2;
  }
  int count = atoi(argv[1]);
  const char* input = argv[2];
  int programs = argc - 3;
  if (count < 1) {
    fprintf(stderr, "runner: COUNT must be at least 1\n");
    return 2;
  }
  double* times = calloc((size_t)count * programs, sizeof *times);
  double* cpus = calloc((size_t)count * programs, sizeof *cpus);
  long* rss = calloc(programs, sizeof *rss);
  if (!times || !cpus || !rss) return 1;
  double cpu;
  /* A few starts first, so that every binary is in the page cache. */
  for (int p = 0; p < programs; ++p)
    for (int i = 0; i < 3; ++i) run_once(argv[3 + p], input, &rss[p], &cpu);
  for (int i = 0; i < count; ++i)
    for (int p = 0; p < programs; ++p) {
      double t = run_once(argv[3 + p], input, &rss[p], &cpu);
      if (t < 0) {
        fprintf(stderr, "runner: %s failed\n", argv[3 + p]);
        return 1;
      }
      times[(size_t)p * count + i] = t;
      cpus[(size_t)p * count + i] = cpu;
    }
  for (int p = 0; p < programs; ++p) {
    double* t = times + (size_t)p * count;
    double* c = cpus + (size_t)p * count;
    qsort(t, count, sizeof *t, by_value);
    qsort(c, count, sizeof *c, by_value);
    printf("%s %.1f %.1f %.1f %ld %.0f\n", argv[3 + p], t[count / 2], t[count / 10],
           t[count * 9 / 10], rss[p], c[count / 2]);
  }
  return 0;
}
