#!/usr/bin/env bash
# Prepares a demo home folder for trying the daemon without touching your own files:
# FOLDER/demo/source with a small tree, an empty FOLDER/demo/target, FOLDER/demo/notes.txt,
# and a starter configuration (FOLDER/Library/Application Support/ternwell/ternwell.json) with
# a tree item that keeps the target in step with the source every ten seconds and a file item
# that copies notes.txt into FOLDER/demo/notes-copy. An existing configuration is kept.
# Usage: make-demo-home.sh FOLDER
set -euo pipefail
home=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
config="$home/Library/Application Support/ternwell/ternwell.json"
mkdir -p "$home/demo/source/photos/2026" "$home/demo/source/letters" "$home/demo/target" \
  "$home/demo/notes-copy" "$(dirname "$config")"
put() { [[ -f "$1" ]] || printf '%s\n' "$2" > "$1"; }
put "$home/demo/source/hello.txt" "Hello from Ternwell's demo folder."
put "$home/demo/source/letters/to-anna.txt" "Dear Anna, the backup runs by itself now."
put "$home/demo/source/photos/2026/README.txt" "Put a few photos here and watch them appear in ../target."
put "$home/demo/notes.txt" "Edit this file: Ternwell copies it to notes-copy within ten seconds."
[[ -f "$home/demo/source/photos/2026/sample.bin" ]] ||
  head -c 1048576 /dev/urandom > "$home/demo/source/photos/2026/sample.bin"
[[ -f "$config" ]] && exit 0
cat > "$config" <<JSON
{
    "Settings": {
        "StartMinimzed": "false",
        "MinimizeInsteadOfClose": "false",
        "Autostart": "false",
        "StartSyncAtStart": "true",
        "DeleteMode": "RecycleBin",
        "RecycleBinPath": "$home/.recyclebin",
        "BackupProofPath": "$home/backup-proof",
        "Language": ""
    },
    "Logging": {
        "LogLevel": "Info",
        "LogFilePathName": "$home/.cache/ternwell/ternwell.log",
        "RetentionDays": "7",
        "EditorPathName": "/usr/bin/less"
    },
    "SshAccounts": [],
    "Syncitems": [
        {
            "name": "Demo folder",
            "type": "Verzeichnisbaum",
            "source": "$home/demo/source",
            "target": "$home/demo/target",
            "wildcard": "*",
            "exclusions": ["*.tmp"],
            "syncflags": {
                "delAftercopy": "false",
                "twoWaySync": "false",
                "copyWhenTargetNewer": "false",
                "fatherSonPrinciple": "true",
                "syncDeletions": "true",
                "backupProof": "true",
                "enabled": "true"
            },
            "compareitems": {"size": "true", "time": "true", "timeToleranceSeconds": "2"},
            "SyncCycle": "10"
        },
        {
            "name": "Demo file",
            "type": "Datei",
            "source": "$home/demo/notes.txt",
            "target": "$home/demo/notes-copy",
            "wildcard": "*",
            "exclusions": [],
            "syncflags": {
                "delAftercopy": "false",
                "twoWaySync": "false",
                "copyWhenTargetNewer": "false",
                "fatherSonPrinciple": "true",
                "syncDeletions": "false",
                "backupProof": "true",
                "enabled": "true"
            },
            "compareitems": {"size": "true", "time": "true", "timeToleranceSeconds": "2"},
            "SyncCycle": "10"
        }
    ]
}
JSON
