// SvdResult and PinvResult: one table of fields per report gives the
// attributes, the pickled state and the repr. The attributes carry the C++
// names; their meanings are documented once, in zor_feedback/zor_feedback.h.
#include <pybind11/stl.h>

#include <functional>
#include <memory>
#include <utility>

#include "results.h"

namespace zor_feedback::python {
namespace {

template <typename Result>
struct Field {
  std::string name;
  std::function<py::object(const Result&)> get;
  std::function<void(Result&, py::handle)> set;
  bool in_repr;
};

// An enum by the names Python sees; `names` in the enum's order.
template <typename Enum, std::size_t N>
struct EnumNames {
  const char* const (&names)[N];
  py::object get(Enum e) const { return py::str(names[static_cast<std::size_t>(e)]); }
  Enum set(py::handle v) const {
    const std::string text = v.cast<std::string>();
    for (std::size_t i = 0; i < N; ++i)
      if (text == names[i]) return static_cast<Enum>(i);
    throw py::value_error("unknown name '" + text + "' in a pickled result");
  }
};

template <typename Result>
class ResultClass {
  using Report = typename Result::Report;

 public:
  ResultClass(py::module_& m, const char* name, const char* report_name)
      : cls_(m, name,
             (std::string("What the inversion did: the inverse and zor_feedback::") + report_name +
              ".\nThe attributes are the report's fields, named as in C++; their meanings are\n"
              "documented there, in zor_feedback/zor_feedback.h.")
                 .c_str()),
        report_name_(report_name),
        fields_(std::make_shared<std::vector<Field<Result>>>()) {}

  // A member of the result itself (the arrays).
  template <typename T>
  ResultClass& own(const char* name, T Result::*member) {
    return add(
        name, [member](const Result& r) { return py::object(r.*member); },
        [member](Result& r, py::handle v) { r.*member = v.cast<T>(); }, false);
  }

  // A field of the report, as the library filled it.
  template <typename T>
  ResultClass& field(const char* name, T Report::*member, bool in_repr = true) {
    return add(
        name, [member](const Result& r) { return py::cast(r.report.*member); },
        [member](Result& r, py::handle v) { r.report.*member = v.cast<T>(); }, in_repr);
  }

  // An enum field of the report, as its name.
  // A filter, by its text form.
  ResultClass& filter(const char* name, zor_feedback::Filter Report::*member) {
    return add(
        name, [member](const Result& r) { return py::object(py::str(to_string(r.report.*member))); },
        [member](Result& r, py::handle v) {
          const zor_feedback::FilterParse f = zor_feedback::parse_filter(v.cast<std::string>());
          if (!f.filter) throw py::value_error("a pickled result's filter: " + f.error);
          r.report.*member = *f.filter;
        },
        true);
  }

  template <typename Enum, std::size_t N>
  ResultClass& named(const char* name, Enum Report::*member, const char* const (&names)[N]) {
    const EnumNames<Enum, N> table{names};
    return add(
        name, [member, table](const Result& r) { return table.get(r.report.*member); },
        [member, table](Result& r, py::handle v) { r.report.*member = table.set(v); }, true);
  }

  // Pickling and repr, from the fields added so far.
  void finish() {
    auto fields = fields_;
    cls_.def(py::pickle(
        [fields](const Result& r) {
          py::dict state;
          for (const Field<Result>& f : *fields) state[f.name.c_str()] = f.get(r);
          return state;
        },
        [fields](const py::dict& state) {
          Result r;
          r.report.ok = true;
          for (const Field<Result>& f : *fields) f.set(r, state[f.name.c_str()]);
          return r;
        }));
    const std::string type_name = py::str(cls_.attr("__name__"));
    cls_.def("__repr__", [fields, type_name](const Result& r) {
      std::string text = type_name + "(inverse " + shape_text(r.report.cols, r.report.rows) + " float32";
      for (const Field<Result>& f : *fields)
        if (f.in_repr) text += ", " + f.name + "=" + std::string(py::repr(f.get(r)));
      return text + ")";
    });
  }

 private:
  ResultClass& add(const char* name, std::function<py::object(const Result&)> get,
                   std::function<void(Result&, py::handle)> set, bool in_repr) {
    fields_->push_back({name, get, std::move(set), in_repr});
    const std::string doc = "zor_feedback::" + report_name_ + "::" + name;
    cls_.def_property_readonly(
        name, [get](const Result& r) { return get(r); }, doc.c_str());
    return *this;
  }

  py::class_<Result> cls_;
  std::string report_name_;
  std::shared_ptr<std::vector<Field<Result>>> fields_;
};

// In the order of the C++ enums.
constexpr const char* kMethods[] = {"gsl", "lapack"};
constexpr const char* kInversions[] = {"classic", "standard"};
constexpr const char* kPaths[] = {"svd", "symmetric", "cholesky", "diagonal"};

}  // namespace

void register_reports(py::module_& m) {
  using R = zor_feedback::SvdReport;
  ResultClass<SvdResult>(m, "SvdResult", "SvdReport")
      .own("inverse", &SvdResult::inverse)
      .own("singular_values", &SvdResult::singular_values)
      .named("inversion", &R::inversion, kInversions)
      .named("method", &R::method, kMethods)
      .field("rows", &R::rows)
      .field("cols", &R::cols)
      .field("transposed", &R::transposed)
      .field("tol", &R::tol)
      .field("internal_tolerance", &R::internal_tolerance)
      .field("rcond", &R::rcond)
      .field("keep", &R::keep)
      .filter("filter", &R::filter)
      .field("alpha", &R::alpha)
      .field("filter_factors", &R::filter_factors, false)
      .field("cutoff", &R::cutoff)
      .field("used", &R::used)
      .field("nosv", &R::nosv)
      .field("infinite", &R::infinite)
      .field("below_tol", &R::below_tol)
      .field("elements_cleared", &R::elements_cleared)
      .field("largest_cleared", &R::largest_cleared)
      .field("largest_element", &R::largest_element)
      .field("cleared_share", &R::cleared_share)
      .field("floor_change", &R::floor_change)
      .field("harmless_factor", &R::harmless_factor)
      .field("zero_inverse", &R::zero_inverse)
      .field("condition_number", &R::condition_number)
      .field("condition_number_used", &R::condition_number_used)
      .field("time_ms", &R::time_ms, false)
      .field("warnings", &R::warnings)
      .finish();

  using P = zor_feedback::PinvReport;
  ResultClass<PinvResult>(m, "PinvResult", "PinvReport")
      .own("inverse", &PinvResult::inverse)
      .own("singular_values", &PinvResult::singular_values)
      .named("path", &P::path, kPaths)
      .field("rows", &P::rows)
      .field("cols", &P::cols)
      .field("tol", &P::tol)
      .field("input_cleared", &P::input_cleared)
      .field("elements_cleared", &P::elements_cleared)
      .field("threshold", &P::threshold)
      .field("used", &P::used)
      .field("zero_inverse", &P::zero_inverse)
      .field("time_ms", &P::time_ms, false)
      .field("warnings", &P::warnings)
      .finish();
}

}  // namespace zor_feedback::python
