#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Build the Debian packages from a clean copy of the tree and check them:
# the changelog's upstream version is the project's one version number (root
# CMakeLists.txt); the orig tarball is made from the clean copy (without
# debian/) and PAPPL's release tarball (pappl/download/, fetched by
# pappl/fetch.sh when missing) becomes the component tarball pappl-release,
# unpacked into the copy as dpkg-source would; dpkg-buildpackage -us -uc
# builds the source package and the binary packages in a temporary folder,
# without network access where the system lets it take that away
# (unshare --net); the source package carries both tarballs and unpacks
# whole; lintian finds no error and no warning in either (overrides carry
# their reasons in debian/*.lintian-overrides and
# debian/source/lintian-overrides); and each package holds exactly the
# expected files with the expected modes and owners, the expected
# dependencies, and, for the Printer Application, PAPPL linked in statically
# (no libpappl package or library needed, none of PAPPL's or its libraries'
# symbols exported) and the maintainer scripts that enable its service on
# install and stop it on removal.
#
#   check-packages.sh [OUTDIR]
#
# OUTDIR, when given, receives the built .deb files.  Set PELNA_PKG_KEEP=1 to
# keep the temporary folder (build log, the copy, the packages).
#
# pelna-printer-app is built and checked only when the tree has
# app/CMakeLists.txt; without it the build profile pkg.pelna-driver.noapp
# leaves that package out, and the script says so.
#
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
outdir=${1:-}

for tool in dpkg-buildpackage dpkg-parsechangelog dpkg-deb lintian; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (bash scripts/install-deps.sh)"; exit 1; }
done

status=0
#
# fail MESSAGE - Report a failed check; the script ends with status 1.
#
fail() {
  echo "FAIL: $*"
  status=1
}

# --- one version number --------------------------------------------------
version=$(sed -n 's/^project(rastertopelna VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
deb_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
source_name=$(dpkg-parsechangelog -l debian/changelog -S Source)
if [[ -z $version ]]; then
  echo "FAIL: no 'project(rastertopelna VERSION x.y.z' in CMakeLists.txt"
  exit 1
fi
if [[ ${deb_version%%-*} != "$version" ]]; then
  echo "FAIL: debian/changelog says $deb_version, CMakeLists.txt says $version;" \
       "add an entry for $version on top of debian/changelog"
  exit 1
fi
echo "ok: version $deb_version (CMakeLists.txt $version)"

packages=(printer-driver-pelna pelna-tools)
profile=()
if [[ -f app/CMakeLists.txt ]]; then
  packages+=(pelna-printer-app)
else
  profile=(-Ppkg.pelna-driver.noapp)
  echo "SKIP: the tree has no app/CMakeLists.txt, so pelna-printer-app is neither built nor checked"
fi

# --- a clean copy: the files git knows or would add, no build folders ------
work=$(mktemp -d /tmp/pelna-pkg.XXXXXX)
#
# cleanup - Remove the temporary folder, unless PELNA_PKG_KEEP=1.
#
cleanup() {
  if [[ ${PELNA_PKG_KEEP:-} == 1 ]]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
src=$work/$source_name-$version
mkdir "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do if [[ -e $file ]]; then printf '%s\0' "$file"; fi; done |
    tar -C "$root" --null -T - -cf - | tar -C "$src" -xf -
else
  tar -C "$root" --exclude='./build*' --exclude=./out --exclude=./.git --exclude=./pappl/download \
    -cf - . | tar -C "$src" -xf -
fi

# --- the upstream tarballs -----------------------------------------------
# The orig tarball is the copy without debian/; the component tarball is
# PAPPL's release tarball byte for byte, which dpkg-source unpacks into
# pappl-release/ without its top folder, as done here.
component=pappl-release
read -r pappl_sum pappl_name <"$root/pappl/pappl.sha256"
if ! pappl_tarball=$(bash "$root/pappl/fetch.sh"); then
  echo "FAIL: PAPPL's release tarball $pappl_name is missing and pappl/fetch.sh could not fetch it"
  exit 1
fi
orig=$work/${source_name}_$version.orig.tar.gz
tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 \
  --exclude="$source_name-$version/debian" --exclude="$source_name-$version/pappl/download" \
  -cf - "$source_name-$version" | gzip -9n >"$orig"
cp "$pappl_tarball" "$work/${source_name}_$version.orig-$component.tar.gz"
mkdir "$src/$component"
tar -C "$src/$component" --strip-components=1 -xzf "$pappl_tarball"
echo "ok: upstream tarballs: $(basename "$orig"), ${source_name}_$version.orig-$component.tar.gz ($pappl_name)"

# --- build ---------------------------------------------------------------
# Without network access when a network namespace of its own can be had
# (root, or unprivileged user namespaces): the build must fetch nothing.
offline=()
if unshare --net true 2>/dev/null; then
  offline=(unshare --net)
elif unshare --user --map-root-user --net true 2>/dev/null; then
  offline=(unshare --user --map-root-user --net)
fi
echo "building in $src (log: build.log)${offline:+, without network access}"
start=$SECONDS
if ! (cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" \
      "${offline[@]}" dpkg-buildpackage -us -uc "${profile[@]}") >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log"
  echo "FAIL: dpkg-buildpackage failed"
  PELNA_PKG_KEEP=1
  exit 1
fi
echo "ok: built in $((SECONDS - start)) s: $(cd "$work" && echo *.deb)"
changes=$(echo "$work"/*.changes)
if ((${#offline[@]} == 0)); then
  echo "note: no network namespace could be made here, so the build had network access"
fi

# --- the source package: format, both tarballs, and it unpacks whole -------
dsc=$work/${source_name}_$deb_version.dsc
component_tarball=${source_name}_$version.orig-$component.tar.gz
source_ok=1
[[ $(sed -n 's/^Format: //p' "$dsc") == "3.0 (quilt)" ]] ||
  { fail "source: $(basename "$dsc") is not of format 3.0 (quilt)"; source_ok=0; }
for tarball in "$(basename "$orig")" "$component_tarball"; do
  grep -q " $tarball\$" "$dsc" || { fail "source: $(basename "$dsc") does not list $tarball"; source_ok=0; }
done
[[ $(sha256sum "$work/$component_tarball" | cut -d' ' -f1) == "$pappl_sum" ]] ||
  { fail "source: $component_tarball is not PAPPL's release tarball (SHA-256 $pappl_sum)"; source_ok=0; }
if tar -tzf "$orig" | grep -Eq '^[^/]+/(debian|pappl/download)/'; then
  fail "source: $(basename "$orig") holds debian/ or pappl/download/"
  source_ok=0
fi
if dpkg-source -x "$dsc" "$work/unpacked" >"$work/unpack.log" 2>&1; then
  [[ -f $work/unpacked/$component/configure && -f $work/unpacked/$component/pappl/pappl.h &&
     -f $work/unpacked/pappl/series && -f $work/unpacked/debian/rules ]] ||
    { fail "source: the unpacked source package lacks $component/ (PAPPL's release), pappl/ or debian/"; source_ok=0; }
else
  sed 's/^/  /' "$work/unpack.log"
  fail "source: dpkg-source -x failed"
  source_ok=0
fi
if ((source_ok)); then
  echo "ok: source: 3.0 (quilt) with $(basename "$orig") and $component_tarball (PAPPL's release, unchanged); it unpacks whole"
fi

# --- lintian: errors and warnings fail; overridden ones (O:) are listed
# with their reasons (N:) but do not count.  Status 2 only says that some
# tag was found, overridden or not; 1 is lintian's own failure.
lintian_status=0
lintian --fail-on error,warning --show-overrides "$changes" >"$work/lintian.log" 2>&1 || lintian_status=$?
if ((lintian_status == 1)) || grep -q '^[EW]: ' "$work/lintian.log"; then
  fail "lintian reports errors or warnings (status $lintian_status)"
else
  echo "ok: lintian: no errors or warnings"
fi
grep -v '^running with root privileges' "$work/lintian.log" | sed 's/^/  lintian: /' || true

# --- file lists, modes and owners -----------------------------------------
# debhelper 13.11.8 and later install systemd units below /usr (Debian 13),
# earlier ones in /lib (Debian 12).
unit_dir=./lib/systemd/system
if dpkg --compare-versions "$(dpkg-query -W -f='${Version}' debhelper)" ge 13.11.8; then
  unit_dir=./usr/lib/systemd/system
fi

#
# expected_files PACKAGE - "mode path" of every file (not folder) the package
# must hold, sorted.
#
expected_files() {
  local package=$1 doc=./usr/share/doc/$1
  {
    echo "-rw-r--r-- $doc/changelog.Debian.gz"
    echo "-rw-r--r-- $doc/copyright"
    [[ -f $src/debian/$package.lintian-overrides ]] &&
      echo "-rw-r--r-- ./usr/share/lintian/overrides/$package"
    case $package in
      printer-driver-pelna)
        echo "-r-xr-xr-x ./usr/lib/cups/filter/rastertopelna"
        echo "-rw-r--r-- ./usr/share/ppd/pelna/pelna203.ppd"
        echo "-rw-r--r-- ./usr/share/ppd/pelna/pelna300.ppd" ;;
      pelna-tools)
        echo "-rwxr-xr-x ./usr/bin/pelna-inspect"
        echo "-rw-r--r-- ./usr/share/man/man1/pelna-inspect.1.gz" ;;
      pelna-printer-app)
        echo "-rwxr-xr-x ./usr/bin/pelna-printer-app"
        echo "-rw-r--r-- $doc/NOTICE"   # PAPPL's, linked in
        echo "-rw-r--r-- $unit_dir/pelna-printer-app.service"
        echo "-rw-r--r-- ./usr/share/man/man1/pelna-printer-app.1.gz" ;;
    esac
  } | sort
}

#
# field PACKAGE.deb NAME - One control field of a package.
#
field() {
  dpkg-deb -f "$1" "$2"
}

for package in "${packages[@]}"; do
  deb=$(echo "$work/${package}_${deb_version}_"*.deb)
  if [[ ! -f $deb ]]; then
    fail "$package: no package was built"
    continue
  fi
  listing=$(dpkg-deb -c "$deb")
  actual=$(awk '$1 !~ /^d/ { print $1, $6 }' <<<"$listing" | sort)
  if [[ $actual == "$(expected_files "$package")" ]]; then
    echo "ok: $package: $(wc -l <<<"$actual") files, modes as expected"
  else
    fail "$package: the files differ from the expected list (< expected, > packaged):"
    diff <(expected_files "$package") <(echo "$actual") | grep '^[<>]' | sed 's/^/  /' || true
  fi
  if owners=$(awk '$2 != "root/root" { print $2, $6 }' <<<"$listing") && [[ -n $owners ]]; then
    fail "$package: entries not owned by root:"
    echo "$owners" | sed 's/^/  /'
  fi
  if bad_dirs=$(awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $1, $6 }' <<<"$listing") && [[ -n $bad_dirs ]]; then
    fail "$package: folders with unusual modes:"
    echo "$bad_dirs" | sed 's/^/  /'
  fi
  [[ $(field "$deb" Version) == "$deb_version" ]] ||
    fail "$package: version $(field "$deb" Version), expected $deb_version"
  depends=$(field "$deb" Depends)
  # Libraries by the names of their packages, which Debian 13 gave a t64
  # suffix where the library's time_t grew (libcups2t64, libpng16-16t64,
  # libgnutls30t64): either name is taken, as ${shlibs:Depends} writes it.
  # "a|b" takes either of two names (PAM's libpam0g became libpam0t64).
  # The Printer Application links PAPPL statically, so it depends on the
  # libraries PAPPL brings (GnuTLS, avahi-client, libusb, PAM, libcups) and
  # on no libpappl package.
  unwanted=()
  case $package in
    printer-driver-pelna) needed=(libcups2 libdeflate0 cups-filters cups-daemon) ;;
    pelna-tools)          needed=(libpng16-16 zlib1g) ;;
    pelna-printer-app)    needed=(libgnutls30 libavahi-client3 libusb-1.0-0 'libpam0g|libpam0t64' libcups2)
                          unwanted=(libpappl1 libpappl-dev) ;;
  esac
  for dependency in "${needed[@]}"; do
    grep -Eq "(^|, )($dependency)(t64)?( |,|$)" <<<"$depends" ||
      fail "$package: does not depend on ${dependency//|/ or } (Depends: $depends)"
  done
  for dependency in "${unwanted[@]}"; do
    if grep -Eq "(^|, |\| )$dependency(t64)?( |,|$)" <<<"$depends"; then
      fail "$package: depends on $dependency (Depends: $depends)"
    fi
  done
  echo "ok: $package: Depends: $depends"
done

# The Printer Application: PAPPL linked in statically, and its service
# enabled and started on install, stopped on removal.
if [[ " ${packages[*]} " == *" pelna-printer-app "* ]]; then
  deb=$(echo "$work"/pelna-printer-app_"${deb_version}"_*.deb)
  if [[ -f $deb ]]; then
    # No libpappl among the libraries it loads (ldd, which follows them
    # down) or names (NEEDED), and none of PAPPL's symbols, nor those of the
    # libraries PAPPL wraps, exported from the executable: a library loaded
    # with it would otherwise bind to PAPPL's copies in it.
    app_root=$work/app-root binary_ok=1
    dpkg-deb -x "$deb" "$app_root"
    binary=$app_root/usr/bin/pelna-printer-app
    if ! loaded=$(ldd "$binary" 2>&1); then
      fail "pelna-printer-app: ldd failed: $loaded"
      binary_ok=0
    elif grep -q 'libpappl' <<<"$loaded"; then
      fail "pelna-printer-app: loads libpappl: $(grep libpappl <<<"$loaded" | xargs)"
      binary_ok=0
    elif grep -q 'not found' <<<"$loaded"; then
      fail "pelna-printer-app: libraries not found: $(grep 'not found' <<<"$loaded" | xargs)"
      binary_ok=0
    fi
    needed_libs=$(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }')
    if [[ -z $needed_libs ]]; then
      fail "pelna-printer-app: objdump -p shows no NEEDED entry"
      binary_ok=0
    elif grep -q 'libpappl' <<<"$needed_libs"; then
      fail "pelna-printer-app: NEEDED names libpappl: $(grep libpappl <<<"$needed_libs" | xargs)"
      binary_ok=0
    fi
    exported=$(nm -D --defined-only "$binary" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' |
               grep -E '^(_?pappl|cups|ipp|http|avahi|pthread_)' || true)
    if [[ -n $exported ]]; then
      fail "pelna-printer-app: exports $(wc -l <<<"$exported") symbols of PAPPL or its libraries:" \
           "$(head -10 <<<"$exported" | xargs)"
      binary_ok=0
    fi
    if ((binary_ok)); then
      echo "ok: pelna-printer-app: PAPPL linked in statically (no libpappl loaded or needed," \
           "none of its symbols exported); needs $(xargs <<<"$needed_libs")"
    fi

    control=$work/app-control service_ok=1
    dpkg-deb -e "$deb" "$control"
    grep -q 'deb-systemd-helper.*enable.*pelna-printer-app.service' "$control/postinst" 2>/dev/null ||
      { fail "pelna-printer-app: postinst does not enable pelna-printer-app.service"; service_ok=0; }
    grep -q '_dh_action=start' "$control/postinst" 2>/dev/null &&
      grep -q 'deb-systemd-invoke $_dh_action .pelna-printer-app.service' "$control/postinst" ||
      { fail "pelna-printer-app: postinst does not start pelna-printer-app.service"; service_ok=0; }
    grep -q 'deb-systemd-invoke stop.*pelna-printer-app.service' "$control/prerm" 2>/dev/null ||
      { fail "pelna-printer-app: prerm does not stop pelna-printer-app.service"; service_ok=0; }
    grep -q '^ExecStart=/usr/bin/pelna-printer-app server$' "$src/debian/pelna-printer-app.service" ||
      { fail "pelna-printer-app: the service does not run 'pelna-printer-app server'"; service_ok=0; }
    if ((service_ok)); then
      echo "ok: pelna-printer-app: the service is enabled and started on install, stopped on removal"
    fi
    # What the service wrote as root stays on removal and goes on purge, and
    # nothing else goes: the package's own lines of its postrm (those before
    # debhelper's) run against a tree made here.
    root=$work/purge-root
    mkdir -p "$root/var/lib/pelna-printer-app.ssl" "$root/var/spool/pelna-printer-app"
    touch "$root"/var/lib/pelna-printer-app.state{,.bak,.bad} "$root/var/lib/pelna-printer-app.ssl/key.pem" \
      "$root/var/spool/pelna-printer-app/p00001j000000001-document.pwg" "$root/var/lib/other-app.state"
    sed '/^# Automatically added/,$d' "$control/postrm" >"$work/postrm-own" 2>/dev/null
    DPKG_ROOT=$root sh "$work/postrm-own" remove
    kept=$(cd "$root" && find . -path '*pelna*' -type f | wc -l)
    DPKG_ROOT=$root sh "$work/postrm-own" purge
    left=$(cd "$root" && find . -path '*pelna*')
    if ((kept != 5)); then
      fail "pelna-printer-app: removal took the service's state ($kept of 5 files left)"
    elif [[ -n $left || ! -f $root/var/lib/other-app.state ]]; then
      fail "pelna-printer-app: purge left $(echo $left) or took another program's file"
    else
      echo "ok: pelna-printer-app: purge removes the service's state, spool and TLS key; removal keeps them"
    fi
  fi
fi

if [[ -n $outdir ]]; then
  mkdir -p "$outdir"
  cp "$work"/*.deb "$outdir"/
  echo "packages copied to $outdir"
fi
((status)) && echo "packages: FAILED" || echo "packages: all checks passed"
exit $status
