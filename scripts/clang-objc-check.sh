#!/usr/bin/env bash
# Compiles the plug-in's Objective-C++ (adapters/macos/) and the test Mail (tests/objc/) with
# clang, the only compiler a Mac has, against GNUstep's headers and GCC's Objective-C runtime
# here: -fsyntax-only, warnings as errors in the project's own code (the platform's headers are
# system headers). The Apple runtime's branch of the superclass change is compiled too, over
# a declaration of class_setSuperclass (the one call GCC's runtime lacks), and the C++ the
# bundle links (core/, host/, hooks/, shell/) as a system that is not Linux sees it.
#   clang-objc-check.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
clang=${CLANGXX:-clang++}
command -v "$clang" >/dev/null || { echo "clang-objc-check: no $clang" >&2; exit 1; }
objc_include=$(dirname "$(gcc -print-file-name=include/objc/objc.h)")/..
flags=(-x objective-c++ -std=c++20 -fsyntax-only -fobjc-runtime=gcc -fobjc-exceptions -fexceptions
       -fconstant-string-class=NSConstantString -DGNUSTEP -DGNUSTEP_BASE_LIBRARY=1
       -DGNU_GUI_LIBRARY=1 -DGNU_RUNTIME=1 -D_NATIVE_OBJC_EXCEPTIONS
       -Wall -Wextra -Wshadow -Werror
       -isystem "$objc_include" -isystem /usr/include/GNUstep -isystem /usr/local/include/GNUstep
       -I "$src/adapters/macos")
for root in "$build"/include-roots/*; do flags+=(-I "$root"); done
status=0
check() {
  if ! "$clang" "${flags[@]}" "$@"; then
    echo "clang-objc-check: FAILED: $*" >&2
    status=1
  fi
}
for f in "$src"/adapters/macos/*.mm "$src"/tests/objc/*.mm; do
  check "$f"
done
check -DQV_CHECK_APPLE_RUNTIME "$src/adapters/macos/QVSuperclass.mm"
for lacks in 1 2 3 4 5 6; do check -DQV_LACKS=$lacks "$src/tests/objc/QVTestMail.mm"; done
cxx=(-x c++ -std=c++20 -fsyntax-only -U__linux__ -Wall -Wextra -Wpedantic -Wshadow -Wconversion
     -Wno-sign-conversion -Werror)
for root in "$build"/include-roots/*; do cxx+=(-I "$root"); done
for f in "$src"/core/*.cpp "$src"/host/*.cpp "$src"/shell/*.cpp "$src"/hooks/QVHookPlan.cpp \
         "$src"/hooks/QVPluginRebuild.cpp "$src"/hooks/QVTagPattern.cpp; do
  if ! "$clang" "${cxx[@]}" "$f"; then
    echo "clang-objc-check: FAILED (as on a system that is not Linux): $f" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "clang-objc-check: adapters/macos/, tests/objc/ and the bundle's C++ compile with $("$clang" --version | head -1)"
exit $status
