# Warnings for the project's own targets (generated code keeps its own flags).
function(qvx_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# Sources of a folder, picked up as they are added, so that each class only adds its files.
function(qvx_glob_sources out dir)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    set(${out} ${found} PARENT_SCOPE)
endfunction()
