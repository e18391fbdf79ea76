# Writes OUTPUT: one line "<SHA-256 in small hex>  <file name>" for each of FILES, in their order.
set(lines "")
foreach(file IN LISTS FILES)
  file(SHA256 "${file}" hash)
  get_filename_component(name "${file}" NAME)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
file(WRITE "${OUTPUT}.tmp" "${lines}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
