// Typed array views: a borrowed, checked window on a caller's buffer.
//
// A view is declared in one line, e.g. `View<elem::int64> elements;`, bound with
// `elements.bind(object)` (0, or -1 with the exception set) and indexed without Python calls.
// None binds as an absent view: no buffer, extent 0. The buffer is released when the last
// view over it goes away; views are destroyed with the interpreter lock held.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/element_types.hpp"
#include "frame/python.hpp"

namespace norvale::frame {

enum class Access { writable, read_only };
enum class Contiguity { none, c_contiguous };
// Per-axis layout: every axis strided, or the last axis contiguous (stride = item size).
enum class LastAxis { strided, contiguous };

// The bytes a view, or a block of rows, can reach: [begin, end); empty when nothing is reached.
struct ByteSpan {
    std::uintptr_t begin = 0, end = 0;
    bool empty() const noexcept { return begin == end; }
    bool overlaps(const ByteSpan &other) const noexcept {
        return !empty() && !other.empty() && begin < other.end && other.begin < end;
    }
};

// A result the call writes must not overlap an array it reads or writes: a pass writing it would
// rewrite data that was checked. ValueError "<result> must not share memory with <other>"; 0 or -1.
int refuse_shared_memory(const ByteSpan &result, const char *result_name, const ByteSpan &other,
                         const char *other_name) noexcept;

struct ViewDecl {
    const ElementType *type;
    int ndim;
    LastAxis last_axis;
    Contiguity contiguity;
    Access access;
};

class BoundView {
public:
    BoundView() noexcept = default;
    BoundView(const BoundView &other) noexcept;
    BoundView &operator=(const BoundView &other) noexcept;
    BoundView(BoundView &&other) noexcept;
    BoundView &operator=(BoundView &&other) noexcept;
    ~BoundView() { release(); }

    // Binds `object` under `decl`, replacing what this view held.
    int bind(PyObject *object, const ViewDecl &decl) noexcept;
    void release() noexcept;

    bool absent() const noexcept { return acquisition_ == nullptr; }
    Py_ssize_t extent(int axis = 0) const noexcept { return shape_[axis]; }
    Py_ssize_t stride(int axis = 0) const noexcept { return strides_[axis]; }
    Py_ssize_t item_size() const noexcept { return acquisition_ ? acquisition_->buffer.itemsize : 0; }
    char *bytes() const noexcept { return data_; }
    PyObject *exporter() const noexcept;
    // Every byte of every item, whatever the signs of the strides.
    ByteSpan byte_span() const noexcept;

protected:
    struct Acquisition {
        Py_buffer buffer;
        std::atomic<Py_ssize_t> holders;
    };
    Acquisition *acquisition_ = nullptr;
    char *data_ = nullptr;
    Py_ssize_t shape_[2] = {0, 0};
    Py_ssize_t strides_[2] = {0, 0};
};

template <typename E, int Dims = 1, Access A = Access::writable, Contiguity C = Contiguity::none,
          LastAxis L = LastAxis::strided>
class View : public BoundView {
    static_assert(Dims == 1 || Dims == 2);

public:
    using value_type = std::conditional_t<A == Access::read_only, const typename E::value_type,
                                          typename E::value_type>;
    static constexpr ViewDecl decl{&E::info, Dims, L, C, A};

    int bind(PyObject *object) noexcept { return BoundView::bind(object, decl); }

    value_type *data() const noexcept { return reinterpret_cast<value_type *>(data_); }
    Py_ssize_t size() const noexcept { return shape_[0]; }

    value_type &operator[](Py_ssize_t i) const noexcept
        requires(Dims == 1)
    {
        if constexpr (C == Contiguity::c_contiguous || L == LastAxis::contiguous)
            return data()[i];
        else
            return *reinterpret_cast<value_type *>(data_ + i * strides_[0]);
    }

    value_type &operator()(Py_ssize_t i, Py_ssize_t j) const noexcept
        requires(Dims == 2)
    {
        return *reinterpret_cast<value_type *>(data_ + i * strides_[0] + j * strides_[1]);
    }
};

}  // namespace norvale::frame
