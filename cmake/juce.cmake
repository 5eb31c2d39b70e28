# The three JUCE modules we use, compiled once into a static library of our own.
# Debian ships JUCE without its bundled FLAC sources, so the system libFLAC is linked instead.
find_package(Threads REQUIRED)
add_library(nelvo_juce STATIC)
target_link_libraries(nelvo_juce
    PRIVATE juce::juce_core juce::juce_audio_basics juce::juce_audio_formats
    PUBLIC PkgConfig::FLAC Threads::Threads ${CMAKE_DL_LIBS} rt)
set(NELVO_JUCE_DEFINITIONS
    JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
    JUCE_STANDALONE_APPLICATION=1
    JUCE_MODULE_AVAILABLE_juce_core=1
    JUCE_MODULE_AVAILABLE_juce_audio_basics=1
    JUCE_MODULE_AVAILABLE_juce_audio_formats=1
    JUCE_INCLUDE_FLAC_CODE=0
    JUCE_USE_FLAC=1
    JUCE_USE_OGGVORBIS=0
    JUCE_USE_MP3AUDIOFORMAT=0
    JUCE_USE_LAME_AUDIO_FORMAT=0
    JUCE_USE_WINDOWS_MEDIA_FORMAT=0
    JUCE_USE_CURL=0
    JUCE_WEB_BROWSER=0
    JUCE_LOAD_CURL_SYMBOLS_LAZILY=0
    JUCE_DISPLAY_SPLASH_SCREEN=0
    JUCE_REPORT_APP_USAGE=0)
target_compile_definitions(nelvo_juce PUBLIC ${NELVO_JUCE_DEFINITIONS})
target_include_directories(nelvo_juce PUBLIC ${JUCE_MODULES_DIR})
