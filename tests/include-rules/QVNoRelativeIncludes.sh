#!/bin/sh
# No include by a relative path ("../mail/...") in the folders the bundle is made of: such a
# path reaches around the include roots that keep each target to what it depends on.
#   QVNoRelativeIncludes.sh SOURCE_DIR
cd "$1" || exit 2
if grep -rnE '#[[:space:]]*include[[:space:]]+"\.\./' core hooks shell host; then
  echo "an include by a relative path (above) reaches around the include roots" >&2
  exit 1
fi
