# Hardened programs for releases and packages (LOADER_HARDENING, on in the
# "default" and "windows" presets): the flags Debian's own packages get from
# `dpkg-buildflags` with hardening=+all, so that `hardening-check` passes every
# item. The sanitizer presets leave it off: their runtimes intercept the same
# functions _FORTIFY_SOURCE replaces.
option(LOADER_HARDENING "Build with Debian's hardening flags" OFF)

if(LOADER_HARDENING)
  # Fortified functions need the optimizer; a Debug build would only warn.
  set(_fortify $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  if(WIN32)
    # mingw-w64 has the stack protector and the fortified functions in libssp,
    # which -static links into each .exe. ASLR (high entropy) and DEP are the
    # linker's defaults; they are named anyway so that no default can drop them.
    add_compile_options(-fstack-protector-strong ${_fortify} -Wformat -Werror=format-security)
    add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
  else()
    add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection ${_fortify}
                        -Wformat -Werror=format-security)
    # Full RELRO: the relocations are read-only and bound at start. Every
    # object of ours is built for CET, but Debian 12's C start files (crt1.o,
    # crti.o, crtn.o: hand-written entry code, never an indirect branch's
    # target) carry no CET marker, which would drop it from the whole program;
    # -z ibt/-z shstk mark the program as a whole.
    add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,-z,ibt -Wl,-z,shstk)
  endif()
endif()
