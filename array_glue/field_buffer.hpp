// A read-only buffer object over the memory of a bound view, with the view's element type,
// dimensions and strides: what the modules over byte ranges hand to Python code (span_rank's
// arguments, a context's pickle state). It shares the view's buffer acquisition, so the
// exporter's buffer stays held while the object, or anything that took a buffer from it, lives.
// It refuses to be pickled: it stands for memory, not for a value.
#pragma once

#include "frame/ref.hpp"
#include "frame/view.hpp"

namespace norvale::array_glue {

// A new buffer object over `view`, which must be bound (not absent).
frame::Ref new_field_buffer(const frame::BoundView &view, const frame::ViewDecl &decl) noexcept;

template <typename V>
frame::Ref new_field_buffer(const V &view) noexcept {
    return new_field_buffer(view, V::decl);
}

}  // namespace norvale::array_glue
