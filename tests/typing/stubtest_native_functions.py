"""stubtest, with the frame's function objects counted as functions (until the native fix).

stubtest takes only Python functions, builtin functions and method descriptors for functions;
the frame's function type is none of these, so plain stubtest reports each module function as
"is not a function" and, once that is allowed, checks nothing else about it. This pass lets
stubtest compare their signatures (parameter names, kinds and defaults) with the stubs.
"""

import sys

from mypy import stubtest

# Each extension module carries its own copy of the frame, hence its own function types.
FRAME_FUNCTION_TYPES = ("native_function", "dispatching_function")
is_function = stubtest.is_probably_a_function


def is_frame_function(runtime: object) -> bool:
    return any(t.__name__ in FRAME_FUNCTION_TYPES for t in type(runtime).__mro__)


stubtest.is_probably_a_function = lambda runtime: is_frame_function(runtime) or is_function(runtime)
sys.exit(stubtest.main())
