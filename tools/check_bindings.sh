#!/usr/bin/env bash
# Fails when a binding source outside python/support/py_compat.h names a
# CPython API that is private or newer than Python 3.7, the oldest
# interpreter the SDK serves; those go through the compatibility header.
set -euo pipefail
cd "$(dirname "$0")/.."

newer='PyObject_Vectorcall|PyObject_VectorcallMethod|PyObject_CallOneArg|PyObject_CallNoArgs'
newer+='|PyObject_CallMethodNoArgs|PyObject_CallMethodOneArg|PyVectorcall_[A-Za-z]+|vectorcallfunc'
newer+='|PY_VECTORCALL_ARGUMENTS_OFFSET|Py_TPFLAGS_HAVE_VECTORCALL|Py_TPFLAGS_METHOD_DESCRIPTOR'
newer+='|Py_TPFLAGS_DISALLOW_INSTANTIATION|Py_TPFLAGS_IMMUTABLETYPE|PyErr_Fetch|PyErr_Restore'
newer+='|PyErr_NormalizeException|PyErr_GetRaisedException|PyErr_SetRaisedException'
newer+='|PyErr_GetHandledException|PyErr_SetHandledException|PyInterpreterState_Get[A-Za-z]*'
newer+='|PyType_GetModule[A-Za-z]*|PyModule_AddType|PyType_FromModuleAndSpec|Py_IsFinalizing'
newer+='|Py_NewRef|Py_XNewRef|Py_Is(None|True|False)|PyLong_FromUnsignedNativeBytes'
newer+='|PyGC_(Enable|Disable|IsEnabled)|PyObject_GC_IsTracked|PyObject_GC_IsFinalized'
# Private names: an underscore, then Py, as the runtime spells them.
private='_Py[A-Za-z_]+'

found=$(grep -rnwE "($newer|$private)" --include='*.cpp' --include='*.h' \
  python tests/python 2>/dev/null | grep -v '^python/support/py_compat\.h:' || true)
if [ -n "$found" ]; then
  echo "CPython APIs that are private or newer than 3.7, outside python/support/py_compat.h:"
  echo "$found"
  exit 1
fi
