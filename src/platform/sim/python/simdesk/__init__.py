"""Control API of the simulated Windows desktop that ostrandcore runs on
away from Windows: build windows, inject failures into platform calls, count
calls and live COM objects, BSTRs and SAFEARRAYs."""

from ._simdesk import *  # noqa: F401,F403
from ._simdesk import live

S_OK = 0
S_FALSE = 1
E_FAIL = 0x80004005
E_INVALIDARG = 0x80070057
E_OUTOFMEMORY = 0x8007000E
E_ACCESSDENIED = 0x80070005
RPC_E_CHANGED_MODE = 0x80010106
CO_E_NOTINITIALIZED = 0x800401F0
REGDB_E_CLASSNOTREG = 0x80040154
ERROR_INVALID_WINDOW_HANDLE = 1400
ERROR_INVALID_THREAD_ID = 1444

WM_QUIT = 0x0012
WM_USER = 0x0400
WAIT_OBJECT_0 = 0
WAIT_TIMEOUT = 258


def leaks():
    """The live objects that are still held, as a dict of non-zero counts."""
    return {kind: n for kind, n in live().items() if n}
