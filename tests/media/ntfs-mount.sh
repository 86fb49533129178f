# Mounting NTFS images with ntfs-3g for the media builders (POSIX sh; meant
# to be sourced). Set MNT (the mount point) and WORK (where ntfs-3g's log
# goes) first, and install the clean-up: trap cleanup_ntfs_mount EXIT.
#
# ntfs-3g runs in the foreground of a background job (-o no_detach) under a
# fixed clock, so that the times it writes are the same on every run. umount
# returns before ntfs-3g has written the image back: unmount_ntfs waits for
# the process to exit.

MOUNT_PID=
FAKE_CLOCK=${FAKE_CLOCK:-'2020-01-01 00:00:00'}

# mount_ntfs IMAGE [OPTIONS]
mount_ntfs() {
    mkdir -p "$MNT"
    faketime -f "$FAKE_CLOCK" ntfs-3g -o "no_detach${2:+,$2}" "$1" "$MNT" \
        >"$WORK/ntfs-3g.log" 2>&1 &
    MOUNT_PID=$!
    for _ in $(seq 100); do
        mountpoint -q "$MNT" && return 0
        sleep 0.1
    done
    echo "mounting $1 failed" >&2
    cat "$WORK/ntfs-3g.log" >&2
    exit 1
}

# Unmounts and waits for ntfs-3g to have written everything back.
unmount_ntfs() {
    umount "$MNT"
    while kill -0 "$MOUNT_PID" 2>/dev/null; do sleep 0.1; done
    MOUNT_PID=
}

# For the EXIT trap: leaves no mount and no ntfs-3g process behind.
cleanup_ntfs_mount() {
    if [ -n "$MOUNT_PID" ]; then
        umount "$MNT" 2>/dev/null || umount -l "$MNT" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$MOUNT_PID" 2>/dev/null || return 0
            sleep 0.1
        done
        kill "$MOUNT_PID" 2>/dev/null || true
    fi
}
