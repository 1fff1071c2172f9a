# Installs the real FTP servers that tests/servers/with-servers starts.
# Sourced or run by scripts/setup as root; idempotent and quick when all is in place.
# With the argument "pyftpdlib" it installs only what that server needs.
#
# vsftpd, pure-ftpd and proftpd-core each declare "Conflicts: ftp-server", so only one
# of them could be installed through dpkg. We unpack all three into a private folder
# instead and install only their shared libraries through apt. Nothing here starts a
# daemon or listens on port 21.

kestrel_ftpd_setup() {
    local prefix="${KESTREL_FTPD_PREFIX:-/opt/kestrel-ftpd}"
    local libs="libwrap0 libpam0g libpam-modules libpam-runtime libssl3 libsodium23 libcap2
        libcrypt1 libacl1 libhiredis0.14 libidn2-0 libmemcached11 libmemcachedutil2
        libncursesw6 libtinfo6 libpcre2-8-0 libpcre2-posix3 zlib1g python3-pyftpdlib python3"
    local daemons="vsftpd:usr/sbin/vsftpd pure-ftpd:usr/sbin/pure-ftpd proftpd-core:usr/sbin/proftpd"
    # "pyftpdlib": only what with-servers --only pyftpdlib needs (the demo).
    if [ "${1:-}" = pyftpdlib ]; then
        libs="python3-pyftpdlib python3"
        daemons=""
    fi
    local missing="" p
    for p in $libs; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing || return 1
    fi

    # package:binary pairs; a package counts as unpacked when its binary is there.
    local pair pkg bin tmp
    mkdir -p "$prefix" || return 1
    for pair in $daemons; do
        pkg="${pair%%:*}"; bin="${pair#*:}"
        [ -x "$prefix/$pkg/$bin" ] && continue
        tmp="$(mktemp -d)" || return 1
        # apt downloads as its sandbox user, which must be able to write here.
        getent passwd _apt >/dev/null && chown _apt "$tmp"
        ( cd "$tmp" && apt-get download "$pkg" ) || { rm -rf "$tmp"; return 1; }
        rm -rf "$prefix/$pkg.part"
        mkdir -p "$prefix/$pkg.part" \
            && dpkg-deb -x "$tmp"/"$pkg"_*.deb "$prefix/$pkg.part" \
            && rm -rf "$prefix/$pkg" && mv "$prefix/$pkg.part" "$prefix/$pkg" \
            || { rm -rf "$tmp" "$prefix/$pkg.part"; return 1; }
        rm -rf "$tmp"
    done

    # vsftpd refuses to start unless its secure_chroot_dir exists (empty, root-owned).
    mkdir -p "$prefix/empty" && chmod 755 "$prefix/empty" && chown root:root "$prefix/empty"

    # Fixed homes: pure-ftpd takes both roots from the passwd entries, so with-servers
    # bind-mounts each run's fresh trees over these in a private mount namespace.
    local homes=/var/lib/kestrel-ftpd
    mkdir -p "$homes/anon" "$homes/kestrel" || return 1
    chmod 755 "$homes" "$homes/anon"

    # Anonymous logins map to the system user "ftp".
    if ! getent passwd ftp >/dev/null; then
        useradd --system --home-dir "$homes/anon" --no-create-home \
            --shell /usr/sbin/nologin ftp || return 1
    fi
    if ! getent passwd kestrel >/dev/null; then
        useradd --home-dir "$homes/kestrel" --no-create-home \
            --shell /bin/bash kestrel || return 1
    fi
    chown kestrel:kestrel "$homes/kestrel"
    # Always reset the password so a changed value here takes effect.
    echo 'kestrel:kestrel-pw' | chpasswd || return 1
    return 0
}

if [ "$(id -u)" -ne 0 ]; then
    echo "tests/servers/setup.sh: must run as root" >&2
    false
else
    kestrel_ftpd_setup "$@"
fi
