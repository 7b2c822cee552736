# framescope_folder_library(<folder> SOURCES <files...> [USES <targets...>]
#                           [USES_PRIVATE <targets...>])
#
# A folder of src/ as a static library of its own, fs_<folder>. Its users
# include its headers as "<folder>/Name.h", through an include directory that
# holds nothing but a link to the folder: a folder sees the headers of the
# folders it links (USES: also its users see them; USES_PRIVATE: only it),
# and a header of any other folder, or of the window, is not found, so a
# forbidden include fails the build. Its forms lie in the folder too, and
# only those: Qt's form compiler would otherwise make any form in the
# project's search path for whoever includes its header.
function(framescope_folder_library folder)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;USES;USES_PRIVATE")
  set(root ${PROJECT_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  add_library(fs_${folder} STATIC ${arg_SOURCES})
  target_include_directories(fs_${folder} PUBLIC ${root})
  set_target_properties(fs_${folder} PROPERTIES AUTOUIC_SEARCH_PATHS "")
  target_compile_definitions(fs_${folder} PRIVATE FRAMESCOPE_VERSION="${PROJECT_VERSION}")
  target_link_libraries(fs_${folder} PUBLIC ${arg_USES} PRIVATE ${arg_USES_PRIVATE})
endfunction()
