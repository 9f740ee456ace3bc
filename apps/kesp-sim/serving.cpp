// The boards' threads, made before the ready line and held until every
// one exists; a host that refuses one ends the start naming the board.
#include "serving.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "control.h"
#include "host_limits.h"
#include "sim_options.h"
#include "wire.h"

namespace {

// Holds the boards' threads until every one of them exists: the ready
// line promises that every board can serve.
class start_gate {
 public:
  enum class state { waiting, go, quit };

  void open(state to) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      now_ = to;
    }
    changed_.notify_all();
  }
  bool wait_for_go() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return now_ != state::waiting; });
    return now_ == state::go;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  state now_ = state::waiting;
};

struct board_thread {
  slot_board *b;
  start_gate *gate;
};

void *serve_when_told(void *arg) {
  auto *job = static_cast<board_thread *>(arg);
  if (job->gate->wait_for_go()) serve(*job->b);
  return nullptr;
}

}  // namespace

void serve_all(std::vector<slot_board> &boards, int control_fd) {
  const std::string &first = boards.front().address;
  if (boards.size() == 1 && control_fd < 0) {
    fprintf(stderr, "kesp-sim: listening on %s:%u\n", first.c_str(), LOADER_PORT);
    serve(boards[0]);
    return;
  }
  start_gate gate;
  std::vector<board_thread> jobs(boards.size());
  std::vector<pthread_t> threads;
  threads.reserve(boards.size());
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, THREAD_STACK);
  for (size_t i = 0; i < boards.size(); ++i) {
    jobs[i] = {&boards[i], &gate};
    pthread_t thread{};
    int rc = pthread_create(&thread, &attr, serve_when_told, &jobs[i]);
    if (rc != 0) {
      gate.open(start_gate::state::quit);
      for (auto made : threads) pthread_join(made, nullptr);
      fail_to_start("threads: " + std::to_string(boards.size()) +
                    " boards need a thread each, and the system refused the " +
                    std::to_string(i + 1) + "th, for " + boards[i].address + ": " + strerror(rc) +
                    ": raise the task limit or serve fewer boards");
    }
    threads.push_back(thread);
  }
  control_job control{control_fd, &boards};
  if (control_fd >= 0) {
    pthread_t thread{};
    int rc = pthread_create(&thread, &attr, read_control, &control);
    if (rc != 0) {
      gate.open(start_gate::state::quit);
      for (auto made : threads) pthread_join(made, nullptr);
      fail_to_start(std::string("threads: the control FIFO needs one: ") + strerror(rc));
    }
    threads.push_back(thread);
  }
  pthread_attr_destroy(&attr);
  if (boards.size() == 1) {
    fprintf(stderr, "kesp-sim: listening on %s:%u\n", first.c_str(), LOADER_PORT);
  } else {
    fprintf(stderr, "kesp-sim: listening on %s:%u .. %s:%u (%zu boards)\n", first.c_str(),
            LOADER_PORT, boards.back().address.c_str(), LOADER_PORT, boards.size());
  }
  gate.open(start_gate::state::go);
  for (auto thread : threads) pthread_join(thread, nullptr);
}
