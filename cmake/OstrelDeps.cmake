# Every third-party library comes from Debian packages (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(glog REQUIRED)
find_package(GTest REQUIRED)
# Qt for the dialog application; found here so that every folder (the ostrel
# executable in src/app included) sees its targets.
find_package(Qt6 REQUIRED COMPONENTS Widgets Network Test LinguistTools)

pkg_check_modules(ACE REQUIRED IMPORTED_TARGET ACE)
pkg_check_modules(INIREADER REQUIRED IMPORTED_TARGET INIReader)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET
  libavcodec libavformat libavutil libswresample libswscale)
pkg_check_modules(XCB IMPORTED_TARGET
  xcb xcb-shm xcb-damage xcb-randr xcb-composite xcb-xfixes)
pkg_check_modules(PULSE IMPORTED_TARGET libpulse)
# Wayland capture: PipeWire streams and the screen-cast portal over sd-bus.
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

find_library(YUV_LIBRARY yuv REQUIRED)
find_path(YUV_INCLUDE_DIR libyuv.h REQUIRED)
add_library(ostrel_libyuv INTERFACE)
target_link_libraries(ostrel_libyuv INTERFACE ${YUV_LIBRARY})
target_include_directories(ostrel_libyuv INTERFACE ${YUV_INCLUDE_DIR})

# ACE needs dl and rt beside its own library.
add_library(ostrel_ace INTERFACE)
target_link_libraries(ostrel_ace INTERFACE PkgConfig::ACE dl rt)
