// arma.h - the response matrix with Armadillo's definitions, for callers of
// QTEV_ResponseMatrix::QTEV2arma_mat and arma_mat2QTEV. Everything else needs
// only zor_feedback.h, which spares its includers Armadillo's headers.
#ifndef ZOR_FEEDBACK_ARMA_H
#define ZOR_FEEDBACK_ARMA_H

#include <armadillo>

#include "zor_feedback/zor_feedback.h"

#endif  // ZOR_FEEDBACK_ARMA_H
