#include "platform/worker_thread.h"

#include <pthread.h>

#include <exception>

#include "platform/diagnostics.h"

namespace vexahv::platform {

WorkerThread::WorkerThread(std::string name, Body body)
    : thread_([name, body = std::move(body)](std::stop_token stop) {
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        try {
          body(stop);
        } catch (const std::exception& e) {
          reportDiagnostic("thread " + name + " ended by an exception: " + e.what());
        } catch (...) {
          reportDiagnostic("thread " + name + " ended by an unknown exception");
        }
      }) {}

}  // namespace vexahv::platform
