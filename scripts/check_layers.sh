#!/usr/bin/env bash
# The include rules that linking cannot catch: a layer includes only its own headers and those of
# the layers below it, HDF5's headers stay inside h5/ (and out of its public headers), and the
# bundle store never reaches the service (only its table types and tick columns). Test files may
# cross layers.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [tessera_plus/base]="base"
  [tessera_plus/h5]="h5 base"
  [tessera_plus/market]="market base"
  [tessera_plus/sim]="sim market base"
  [tessera_plus/pysource]="pysource market base"
  [tessera_plus/net]="net base"
  [tessera_plus/bundle/store]="bundle/store h5 market/types.h market/tick_columns.h market/bar_time.h base"
  [tessera_plus/bundle/client]="bundle/client market sim pysource base"
  [tessera_plus/bundle/base_data]="bundle/base_data bundle/store bundle/client market h5 base"
  [tessera_plus/bundle/update]="bundle/update bundle/store bundle/base_data bundle/client market net h5 base"
  [tessera_plus/bundle/check]="bundle/check bundle/store bundle/base_data bundle/client market h5 base"
  [tessera_plus/bundle/status]="bundle/status bundle/store bundle/base_data h5 base"
  [cli]="bundle/update bundle/check bundle/status bundle/store bundle/client bundle/base_data market base"
)

status=0
for dir in "${!allowed[@]}"; do
  for file in $(git ls-files "$dir/*.h" "$dir/*.cc" | grep -v -E '_(test|fuzz|bench)\.cc$'); do
    [ "$(dirname "$file")" = "$dir" ] || continue
    while IFS= read -r inc; do
      ok=0
      for prefix in ${allowed[$dir]}; do
        case "$inc" in "$prefix"/* | "$prefix") ok=1 ;; esac
      done
      if [ $ok -eq 0 ]; then
        echo "$file includes tessera_plus/$inc, which $dir may not use" >&2
        status=1
      fi
    done < <(sed -n 's|^#include "tessera_plus/\(.*\)"|\1|p' "$file")
  done
done

# HDF5's own headers: only in h5/, and never in a header that other layers include.
while IFS= read -r file; do
  case "$file" in
    tessera_plus/h5/*_internal.h | tessera_plus/h5/*.cc) ;;
    *) echo "$file includes <hdf5.h>; only the HDF5 layer's sources may" >&2; status=1 ;;
  esac
done < <(git grep -l -E '#include [<"]H5[A-Za-z]*\.h[>"]|#include <hdf5\.h>' -- '*.h' '*.cc' || true)

exit $status
