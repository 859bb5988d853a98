# Installs the udev rule under the system configuration directory of the install prefix
# (/etc for /usr, PREFIX/etc otherwise). An existing rule that differs is the administrator's:
# it is kept and the new one is written beside it as .new, the way dpkg keeps an edited conffile.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(udev_dir "/etc/udev/rules.d")
else()
  set(udev_dir "${CMAKE_INSTALL_PREFIX}/etc/udev/rules.d")
endif()
get_filename_component(rule_name "${CORVANE_UDEV_RULE}" NAME)
set(target "$ENV{DESTDIR}${udev_dir}/${rule_name}")

set(edited FALSE)
if(EXISTS "${target}")
  file(SHA256 "${target}" installed_hash)
  file(SHA256 "${CORVANE_UDEV_RULE}" new_hash)
  if(NOT installed_hash STREQUAL new_hash)
    set(edited TRUE)
  endif()
endif()

if(edited)
  message(STATUS "Keeping the edited ${target}; the new rule is ${target}.new")
  file(COPY_FILE "${CORVANE_UDEV_RULE}" "${target}.new")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}.new")
else()
  # file(INSTALL) puts DESTDIR in front itself.
  file(INSTALL DESTINATION "${udev_dir}" TYPE FILE FILES "${CORVANE_UDEV_RULE}")
endif()
