# The client's sound card object (capture and playback over the platform's
# sound devices) and the play-out buffer in front of it, a library of its own so that tests can use it without the
# dialog. Included from client/CMakeLists.txt and from the voice tests.
if(NOT TARGET orvane_wave_device AND TARGET orvane_platform_sound)
  add_library(orvane_wave_device STATIC ${CMAKE_CURRENT_LIST_DIR}/wave_device.cpp
                                         ${CMAKE_CURRENT_LIST_DIR}/playout_buffer.cpp
                                         ${CMAKE_CURRENT_LIST_DIR}/sound_continuation.cpp)
  target_include_directories(orvane_wave_device PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(orvane_wave_device PUBLIC orvane_protocol orvane_platform_sound orvane_platform)
endif()
