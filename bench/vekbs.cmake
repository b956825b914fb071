# SPDX-License-Identifier: GPL-2.0-or-later
# The base station's whole road: emulated card, wrapper, MQTT (needs mosquitto).
find_program(MOSQUITTO_BROKER mosquitto PATHS /usr/sbin /usr/local/sbin REQUIRED)
add_executable(vekbs_road ${CMAKE_CURRENT_LIST_DIR}/vekbs_road.cpp)
target_link_libraries(vekbs_road PRIVATE vekgen_core PkgConfig::GLIB PkgConfig::JSONGLIB
  PkgConfig::MOSQUITTO)
target_compile_definitions(vekbs_road PRIVATE VEKBS_PATH="$<TARGET_FILE:vekbs>"
  VEKEMU_PATH="$<TARGET_FILE:vekemu-runner>" VEKGEN_PATH="$<TARGET_FILE:vekgen>"
  MOSQUITTO_PATH="${MOSQUITTO_BROKER}")
add_dependencies(vekbs_road vekbs vekemu-runner vekgen)
