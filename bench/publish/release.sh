# Sourced by the publish benchmarks: make_release DIR FILES BYTES makes a release of FILES files of
# pseudo-random bytes (AES-CTR over zeros: fast to make, incompressible), 100 to a folder under
# data/, every file aged ten minutes as a build leaves its output some time before it is published.
make_release() {
    local dir=$1 files=$2 total=$3 i=0 part folder
    local chunk=$(( (total + files - 1) / files ))
    mkdir -p "$dir" "$dir.split"
    # The generator dies of SIGPIPE once head has enough; that is expected.
    { openssl enc -aes-128-ctr -nosalt -pass pass:quillor -pbkdf2 </dev/zero 2>/dev/null || true; } | head -c "$total" |
        split -b "$chunk" -a 4 -d - "$dir.split/part"
    for part in "$dir.split"/part*; do
        folder="$dir/data/pack$((i / 100))"
        mkdir -p "$folder"
        mv "$part" "$folder/file $i.bin"
        i=$((i + 1))
    done
    rmdir "$dir.split"
    find "$dir" -type f -exec touch -d '10 minutes ago' {} +
}
