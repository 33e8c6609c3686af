// registry_watch: logs when the wineserver saves the registry into a Wine prefix, for the
// end-to-end tests' verdicts. While it writes a branch no Wine thread gets a wait or an
// event through, so the stretch from its temporary file's creation to the rename over the
// branch's file is a stall of every Wine thread, the sound service's included, that the
// program under test can neither cause to last nor shorten.
// Prints "<wall seconds> start <tmp name>" and "<wall seconds> saved <file name>" lines,
// flushed at once, until it is ended by a signal.
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

double wallSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool endsWith(const std::string& name, const char* tail) {
  const size_t n = std::strlen(tail);
  return name.size() >= n && name.compare(name.size() - n, n, tail) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: registry_watch PREFIX_DIR\n", stderr);
    return 2;
  }
  const int fd = inotify_init();
  if (fd < 0 || inotify_add_watch(fd, argv[1], IN_CREATE | IN_MOVED_TO) < 0) {
    std::perror("registry_watch");
    return 1;
  }
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return 1;
    const double wall = wallSeconds();
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name = event->len ? event->name : "";
      if ((event->mask & IN_CREATE) && endsWith(name, ".tmp") && name.rfind("reg", 0) == 0)
        std::printf("%.3f start %s\n", wall, name.c_str());
      else if ((event->mask & IN_MOVED_TO) && endsWith(name, ".reg"))
        std::printf("%.3f saved %s\n", wall, name.c_str());
      std::fflush(stdout);
    }
  }
}
