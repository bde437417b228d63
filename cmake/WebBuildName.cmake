# The name a build of the page goes by: VERSION, then a digest of the names
# and contents of every file in DIR. A new build's service worker takes over
# from the old one only when this name changes, so any change to any file's
# bytes must change it.
function(zelk_web_build_name dir version out)
  file(GLOB files RELATIVE ${dir} ${dir}/*)
  list(SORT files)
  set(digests "")
  foreach(f IN LISTS files)
    file(SHA256 ${dir}/${f} hash)
    string(APPEND digests "${f}:${hash}\n")
  endforeach()
  string(SHA256 build "${digests}")
  string(SUBSTRING ${build} 0 12 build)
  set(${out} ${version}-${build} PARENT_SCOPE)
endfunction()
