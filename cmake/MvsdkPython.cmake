# Finds what the Python module needs: the interpreter with its development files, and pybind11
# (Debian's pybind11-dev). Sets MVSDK_PYTHON_FOUND.
#
# NumPy, pytest and pybind11 come from Debian's packages, which serve Debian's interpreter; so
# /usr/bin/python3 is preferred over whatever python3 comes first on PATH (pyenv, a venv) unless
# Python3_EXECUTABLE is given.
#
# Not looked for in a cross build (the host's interpreter cannot load the target's module) nor in
# a sanitizer build (an instrumented module cannot be loaded into an uninstrumented interpreter).
set(MVSDK_PYTHON_FOUND OFF)
if(CMAKE_CROSSCOMPILING OR MVSDK_SANITIZE)
  return()
endif()
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
if(Python3_FOUND)
  find_package(pybind11 CONFIG QUIET)
  if(pybind11_FOUND)
    set(MVSDK_PYTHON_FOUND ON)
  endif()
endif()
