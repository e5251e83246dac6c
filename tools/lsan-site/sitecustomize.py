"""Imported at start-up by every interpreter of a leak-checked sanitizer run
(tools/test-python puts this folder on PYTHONPATH).

numpy's import leaves a few objects that the interpreter created for it (the
float constants of numpy's own Python modules, os.stat times cached by the
import system) referenced only from numpy's native state, which nobody frees
at exit, so LeakSanitizer reports them in every process that imports numpy.
Their allocation stacks run through the interpreter only, so no suppression
pattern could single them out without also hiding leaks of the module under
test. Instead numpy is imported here, once, with leak detection paused: only
allocations made during that import are exempt, and numpy stays imported for
everything that follows.
"""

import ctypes

_runtime = ctypes.CDLL(None)
if hasattr(_runtime, "__lsan_disable"):
    _runtime.__lsan_disable()
    try:
        import numpy  # noqa: F401
    except ImportError:
        pass
    finally:
        _runtime.__lsan_enable()
