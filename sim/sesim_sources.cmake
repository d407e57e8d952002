# The model library's sources, relative to sim/: one list for the build and for the fuzz
# targets' build, which compiles them again with coverage instrumentation.
set(SESIM_MODEL_SOURCE_NAMES
  sesim_config.cpp
  sesim_console.cpp
  sesim_elements.cpp
  sesim_image.cpp
  sesim_microcode.cpp
  sesim_model.cpp
  sesim_session.cpp
  sesim_store.cpp)
