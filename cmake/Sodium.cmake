# libsodium, for the signatures (Ed25519 and BLAKE2b). Found through
# pkg-config: Debian's libsodium-dev here; a cross build points
# PKG_CONFIG_LIBDIR (or PKG_CONFIG_PATH) at its kit's libsodium.pc.
find_package(PkgConfig REQUIRED)
pkg_check_modules(sodium REQUIRED IMPORTED_TARGET libsodium)
