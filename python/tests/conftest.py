"""Set before any test module imports numpy or the module: zorfb runs BLAS on
one thread, and LAPACK's results are bit for bit the same only on the same
number of threads."""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
