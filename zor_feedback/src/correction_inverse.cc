// The plane inverses of a correction step, cached by the monitors and
// correctors they use, and the solve through them.
#include <gsl/gsl_cblas.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "correction_state.h"
#include "fused_product.h"

namespace zor_feedback {
namespace detail {

namespace {

std::string cache_key(const std::vector<int>& monitors, const std::vector<int>& correctors) {
  std::string key;
  key.reserve((monitors.size() + correctors.size() + 1) * sizeof(int));
  const auto put = [&key](int v) { key.append(reinterpret_cast<const char*>(&v), sizeof v); };
  for (const int i : monitors) put(i);
  put(-1);
  for (const int j : correctors) put(j);
  return key;
}

double weight(const std::vector<double>& weights, int i) {
  return weights.empty() ? 1.0 : weights[static_cast<std::size_t>(i)];
}

}  // namespace

std::vector<double> weighted_sub_matrix(const LabelledMatrix& m, const std::vector<double>& weights,
                                        const std::vector<int>& monitors,
                                        const std::vector<int>& correctors) {
  std::vector<double> a;
  a.reserve(monitors.size() * correctors.size());
  const auto cols = static_cast<std::size_t>(m.cols);
  for (const int i : monitors) {
    const double w = weight(weights, i);
    const double* row = m.values.data() + static_cast<std::size_t>(i) * cols;
    for (const int j : correctors) a.push_back(w * row[j]);
  }
  return a;
}

// A new inverse: by a downdate of a held one when one monitor or corrector
// went out and every mode stays (a mask change then costs no decomposition),
// else by a decomposition.
bool InverseCache::make(const LabelledMatrix& m, const std::vector<double>& weights,
                        const std::vector<int>& monitors, const std::vector<int>& correctors,
                        const StandardOptions& cut, PlaneInverse* inv, std::string* error) {
  for (const auto& entry : entries_)
    if (downdate_inverse(*entry.second.inverse, m, weights, monitors, correctors, cut, inv)) {
      ++downdates_;
      return true;
    }
  const std::vector<double> a = weighted_sub_matrix(m, weights, monitors, correctors);
  const SvdReport r = pseudo_inverse(a.data(), static_cast<int>(monitors.size()),
                                     static_cast<int>(correctors.size()), cut, &inv->inverse);
  if (!r.ok) {
    *error = r.error;
    return false;
  }
  inv->monitors = monitors;
  inv->correctors = correctors;
  inv->modes = r.used;
  inv->warnings = r.warnings;
  const bool all = !cut.filter.is_tikhonov() && r.used == static_cast<int>(r.singular_values.size());
  inv->s_ratio = all ? r.singular_values.back() / r.singular_values.front() : 0.0;
  return true;
}

const PlaneInverse* InverseCache::get(const LabelledMatrix& m, const std::vector<double>& weights,
                                      const std::vector<int>& monitors, const std::vector<int>& correctors,
                                      const StandardOptions& cut, StepKernel kernel, std::string* error) {
  // Narrowed once per inverse, so that a step's cost stays one read of it.
  Held* held = find_or_make(m, weights, monitors, correctors, cut, error);
  PlaneInverse* inv = held == nullptr ? nullptr : held->inverse.get();
  if (inv == nullptr || kernel != StepKernel::fused_float || !inv->narrow.empty()) return inv;
  inv->narrow.assign(inv->inverse.begin(), inv->inverse.end());
  if (std::all_of(inv->narrow.begin(), inv->narrow.end(), [](float v) { return std::isfinite(v); }))
    return inv;
  inv->narrow.clear();
  *error =
      "the plane's inverse holds values beyond the range of float: the kernel fused_float cannot hold it";
  return nullptr;
}

InverseCache::Held* InverseCache::find_or_make(const LabelledMatrix& m, const std::vector<double>& weights,
                                               const std::vector<int>& monitors,
                                               const std::vector<int>& correctors, const StandardOptions& cut,
                                               std::string* error) {
  // The loop asks for the same sets cycle after cycle: that one is compared
  // before a key is made.
  if (last_ != nullptr && last_->inverse->monitors == monitors && last_->inverse->correctors == correctors) {
    last_->last_use = ++uses_;
    return last_;
  }
  std::string key = cache_key(monitors, correctors);
  if (auto it = entries_.find(key); it != entries_.end()) {
    it->second.last_use = ++uses_;
    return last_ = &it->second;
  }
  auto inv = std::make_shared<PlaneInverse>();
  if (!make(m, weights, monitors, correctors, cut, inv.get(), error)) return nullptr;
  if (entries_.size() >= kCapacity) {
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->second.last_use < oldest->second.last_use) oldest = it;
    if (&oldest->second == last_) last_ = nullptr;
    entries_.erase(oldest);
  }
  return last_ = &entries_.emplace(std::move(key), Held{std::move(inv), ++uses_}).first->second;
}

const PlaneInverse* InverseCache::held(const std::vector<int>& monitors,
                                       const std::vector<int>& correctors) const {
  const auto it = entries_.find(cache_key(monitors, correctors));
  return it == entries_.end() ? nullptr : it->second.inverse.get();
}

InverseCache InverseCache::shared_copy() const {
  InverseCache copy;
  copy.entries_ = entries_;  // the inverses are shared; their uses are the copy's own from here
  copy.uses_ = uses_;
  copy.downdates_ = downdates_;
  return copy;
}

bool solve_plane(const PlaneProblem& p, const std::vector<int>& free, const std::vector<double>& rhs,
                 std::vector<double>* delta, int* modes, std::vector<std::string>* warnings,
                 std::string* error) {
  if (free.empty()) return true;
  StandardOptions cut = p.cut;
  if (cut.filter.keep() > static_cast<int>(free.size())) {
    // Correctors held (clip, steered back) leave fewer than the plane keeps:
    // as many as remain.
    cut.filter = Filter::by_count(static_cast<int>(free.size()));
    warnings->push_back("keeps " + std::to_string(cut.filter.keep()) + " singular values of " +
                        std::to_string(p.cut.filter.keep()) + ": only " + std::to_string(free.size()) +
                        " correctors are left free");
  }
  const PlaneInverse* inv = p.cache->get(*p.matrix, *p.weights, p.monitors, free, cut, p.kernel, error);
  if (inv == nullptr) return false;
  // The weights enter once in the matrix and once in the right-hand side.
  // One product: inside the loop this is the step's main cost.
  std::vector<double> x(free.size());
  if (p.kernel == StepKernel::fused_float) {
    std::vector<float> b(rhs.size());
    for (std::size_t k = 0; k < rhs.size(); ++k)
      b[k] = static_cast<float>(weight(*p.weights, p.monitors[k]) * rhs[k]);
    if (!std::all_of(b.begin(), b.end(), [](float v) { return std::isfinite(v); })) {
      *error = "the weighted orbit error is beyond the range of float: the kernel fused_float cannot hold it";
      return false;
    }
    fused_gemv(inv->narrow.data(), b.data(), free.size(), b.size(), x.data());
  } else {
    std::vector<double> b(rhs.size());
    for (std::size_t k = 0; k < rhs.size(); ++k) b[k] = weight(*p.weights, p.monitors[k]) * rhs[k];
    cblas_dgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(free.size()), static_cast<int>(b.size()), 1.0,
                inv->inverse.data(), static_cast<int>(b.size()), b.data(), 1, 0.0, x.data(), 1);
  }
  for (std::size_t r = 0; r < free.size(); ++r) (*delta)[static_cast<std::size_t>(free[r])] = x[r];
  if (modes != nullptr) *modes = inv->modes;
  warnings->insert(warnings->end(), inv->warnings.begin(), inv->warnings.end());
  return true;
}

}  // namespace detail
}  // namespace zor_feedback
