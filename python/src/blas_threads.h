// BLAS threads when the module is called from several Python threads at once.
#ifndef ZOR_FEEDBACK_PYTHON_BLAS_THREADS_H
#define ZOR_FEEDBACK_PYTHON_BLAS_THREADS_H

namespace zor_feedback::python {

// Held around a computation that runs without the GIL. While two or more are
// held at once, OpenBLAS runs on one thread (openblas_set_num_threads(1)): N
// calls that each spread over every core would fight for them and run slower
// than one thread each. When the last is released the thread count is
// restored to what it was. A lone call keeps the process's setting. Nothing
// happens without OpenBLAS.
class SharedBlasThreads {
 public:
  SharedBlasThreads();
  ~SharedBlasThreads();
  SharedBlasThreads(const SharedBlasThreads&) = delete;
  SharedBlasThreads& operator=(const SharedBlasThreads&) = delete;
};

}  // namespace zor_feedback::python

#endif  // ZOR_FEEDBACK_PYTHON_BLAS_THREADS_H
