#include "bindings/buffer_vectors.h"

#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

#include "bindings/float_rounding.h"

namespace quorbell {

namespace {

// ---- Which objects

// Types whose iteration yields exactly their buffer's items. Subclasses are
// left out: they may override iteration or item access. numpy is never
// imported, so its array type is known by name; only C code makes immutable
// types, so no Python class can pose under that name.
bool iterates_as_its_buffer(PyTypeObject* type) {
  if (type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type) return true;
  if (!PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return false;
  const std::string_view name = type->tp_name;
  return name == "numpy.ndarray" || name == "array.array";
}

// A strided, read-only view of an object's memory with its item format,
// released when it goes out of scope.
class HeldBuffer {
 public:
  explicit HeldBuffer(PyObject* object) : held_(PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {
    if (!held_) PyErr_Clear();  // the sequence path then raises the object's own error
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  explicit operator bool() const { return held_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_;
};

// ---- One component: the float the sequence path makes of the item

struct Half {
  std::uint16_t bits;
};

struct Boolean {
  unsigned char byte;  // any byte but 0 reads as True, as the exporters' own items do
};

// Exact: every half is a double. A NaN's payload moves to the top of the
// double's fraction, as the exporters' own widening moves it.
double half_to_double(std::uint16_t bits) {
  const std::uint64_t sign = std::uint64_t{bits & 0x8000u} << 48;
  const unsigned exponent = (bits >> 10) & 0x1fu;
  const std::uint64_t fraction = bits & 0x3ffu;
  if (exponent == 0x1f) return std::bit_cast<double>(sign | 0x7ff0000000000000u | fraction << 42);
  if (exponent == 0) {  // zero or subnormal
    const double magnitude = std::ldexp(static_cast<double>(fraction), -24);
    return sign != 0 ? -magnitude : magnitude;
  }
  return std::bit_cast<double>(sign | std::uint64_t{exponent - 15 + 1023} << 52 | fraction << 42);
}

float component(double value) { return round_to_float(value); }

// A float widened to double and rounded back is itself, except that a
// signalling NaN comes back quiet; the sequence path's conversions run on
// the hardware and quiet it, while a compiler may fold the round trip away.
// Done on the bits, so that a loop of these vectorizes.
float component(float value) {
  const std::int32_t bits = std::bit_cast<std::int32_t>(value);
  const bool nan = (bits & 0x7fffffff) > 0x7f800000;
  return std::bit_cast<float>(bits | (nan ? 0x00400000 : 0));
}

float component(Half value) { return round_to_float(half_to_double(value.bits)); }

float component(Boolean value) { return value.byte != 0 ? 1.0f : 0.0f; }

// Integers beyond 2^53 round to the nearest double first, as int-to-float
// conversion does.
template <std::integral T>
float component(T value) {
  return round_to_float(static_cast<double>(value));
}

// ---- Rows

// Copies `count` items of type T, `stride` bytes apart (possibly negative),
// starting at `first`. Items may be unaligned, so each is loaded by memcpy.
using RowCopy = void (*)(const char* first, Py_ssize_t stride, std::size_t count, float* out);

template <class T, class Stride>
void copy_items(const char* first, Stride stride, std::size_t count, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    T item;
    std::memcpy(&item, first + static_cast<Py_ssize_t>(i) * stride, sizeof item);
    out[i] = component(item);
  }
}

template <class T>
void copy_row(const char* first, Py_ssize_t stride, std::size_t count, float* out) {
  // The contiguous case, with its stride a constant, is the one compilers
  // vectorize.
  constexpr Py_ssize_t ITEM_SIZE = sizeof(T);
  if (stride == ITEM_SIZE) {
    copy_items<T>(first, std::integral_constant<Py_ssize_t, ITEM_SIZE>{}, count, out);
  } else {
    copy_items<T>(first, stride, count, out);
  }
}

template <class T>
RowCopy row_copy_if_sized(Py_ssize_t itemsize) {
  return itemsize == static_cast<Py_ssize_t>(sizeof(T)) ? copy_row<T> : nullptr;
}

// An integer item of `itemsize` bytes; `Signedness` is std::make_signed_t
// or std::type_identity_t.
template <template <class> class Signedness>
RowCopy integer_row_copy(Py_ssize_t itemsize) {
  switch (itemsize) {
    case 1:
      return copy_row<Signedness<std::uint8_t>>;
    case 2:
      return copy_row<Signedness<std::uint16_t>>;
    case 4:
      return copy_row<Signedness<std::uint32_t>>;
    case 8:
      return copy_row<Signedness<std::uint64_t>>;
    default:
      return nullptr;
  }
}

// Drops a byte-order mark; false when it names the other byte order.
bool strip_native_order(std::string_view& format) {
  if (format.empty()) return true;
  switch (format[0]) {
    case '@':
    case '=':
      format.remove_prefix(1);
      return true;
    case '<':
      format.remove_prefix(1);
      return std::endian::native == std::endian::little;
    case '>':
    case '!':
      format.remove_prefix(1);
      return std::endian::native == std::endian::big;
    default:
      return true;
  }
}

// The copy for a single numeric item in this machine's byte order, or
// nullptr for any other format: foreign byte orders, structures, complex,
// objects, characters, pointers. Integers go by the exporter's item size,
// since under an explicit byte order 'l' means 4 bytes (numpy marks a
// misaligned array so).
RowCopy row_copy_for(const Py_buffer& view) {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!strip_native_order(format) || format.size() != 1) return nullptr;
  const char code = format[0];
  const auto one_of = [code](std::string_view codes) { return codes.find(code) != std::string_view::npos; };
  if (one_of("bhilqn")) return integer_row_copy<std::make_signed_t>(view.itemsize);
  if (one_of("BHILQN")) return integer_row_copy<std::type_identity_t>(view.itemsize);
  switch (code) {
    case '?':
      return row_copy_if_sized<Boolean>(view.itemsize);
    case 'e':
      return row_copy_if_sized<Half>(view.itemsize);
    case 'f':
      return row_copy_if_sized<float>(view.itemsize);
    case 'd':
      return row_copy_if_sized<double>(view.itemsize);
    default:
      return nullptr;
  }
}

// A vector of `count` elements. A view may claim more items than memory
// could hold (a broadcast view repeats one item without storing it); that
// is MemoryError, not a fault.
template <class T>
std::vector<T> sized_vector(Py_ssize_t count) {
  std::vector<T> out;
  if (static_cast<std::size_t>(count) > out.max_size()) throw std::bad_alloc();
  out.resize(static_cast<std::size_t>(count));
  return out;
}

// The step in bytes along `axis`. An exporter may leave out the strides of
// a C-contiguous buffer.
Py_ssize_t stride(const Py_buffer& view, int axis) {
  if (view.strides != nullptr) return view.strides[axis];
  Py_ssize_t step = view.itemsize;
  for (int later = axis + 1; later < view.ndim; ++later) step *= view.shape[later];
  return step;
}

std::vector<float> copied_row(const char* first, Py_ssize_t step, Py_ssize_t count, RowCopy copy) {
  std::vector<float> row = sized_vector<float>(count);
  copy(first, step, row.size(), row.data());
  return row;
}

// Runs `read(view, copy)` while the buffer of `object` is held, when the
// object is of a type above and exports an `ndim`-dimensional buffer of a
// numeric item; otherwise gives nothing.
template <class Read>
auto read_buffer(PyObject* object, int ndim, Read read) -> std::optional<decltype(read(Py_buffer{}, RowCopy{}))> {
  if (!iterates_as_its_buffer(Py_TYPE(object))) return std::nullopt;
  const HeldBuffer buffer(object);
  if (!buffer || buffer.view().ndim != ndim) return std::nullopt;
  const RowCopy copy = row_copy_for(buffer.view());
  if (copy == nullptr) return std::nullopt;
  return read(buffer.view(), copy);
}

}  // namespace

std::optional<std::vector<float>> vector_from_buffer(PyObject* object) {
  return read_buffer(object, 1, [](const Py_buffer& view, RowCopy copy) {
    return copied_row(static_cast<const char*>(view.buf), stride(view, 0), view.shape[0], copy);
  });
}

std::optional<std::vector<std::vector<float>>> vectors_from_buffer(PyObject* object) {
  return read_buffer(object, 2, [](const Py_buffer& view, RowCopy copy) {
    std::vector<std::vector<float>> rows = sized_vector<std::vector<float>>(view.shape[0]);
    const char* first = static_cast<const char*>(view.buf);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      rows[r] = copied_row(first + static_cast<Py_ssize_t>(r) * stride(view, 0), stride(view, 1), view.shape[1], copy);
    }
    return rows;
  });
}

}  // namespace quorbell
