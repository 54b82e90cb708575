# Sums Private_Dirty per mapping of /proc/<pid>/smaps, largest first is left
# to sort. Anonymous mappings right after a file's are named after it (its
# .bss); the 8 MB one is a thread stack under default attributes.
# Output: "<kB> <name> <perms> <size>" a line, for mappings with dirty pages.
/^[0-9a-f]+-[0-9a-f]+ / {
  split($1, range, "-")
  if ($6 != "") { file = $6; sub(".*/", "", file); name = file }
  else if (range[1] == last_end && last_file != "") name = "bss of " last_file
  else name = "[anon]"
  if ($6 ~ /^\[/) name = $6
  last_end = range[2]
  last_file = ($6 != "" && $6 !~ /^\[/) ? file : ""
  perms = $2
  next
}
/^Size:/ { size = $2 " kB"; next }
/^Private_Dirty:/ { if ($2 > 0) printf "%d %s %s %s\n", $2, name, perms, size }
