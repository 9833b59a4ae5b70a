// How a kernel ended; the glue turns anything but ok into a Python exception.
#pragma once
namespace norvale::kernels {
enum class Status { ok, out_of_memory, input_changed };
}  // namespace norvale::kernels
