#!/usr/bin/env bash
# Prepares a demo home folder for trying the daemon without touching your own files:
# FOLDER/demo/source with one file, an empty FOLDER/demo/target, and a starter configuration
# (FOLDER/Library/Application Support/ternwell/ternwell.json) with one folder item that keeps
# the target in step with the source every ten seconds. An existing configuration is kept.
# Usage: make-demo-home.sh FOLDER
set -euo pipefail
home=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
config="$home/Library/Application Support/ternwell/ternwell.json"
mkdir -p "$home/demo/source" "$home/demo/target" "$(dirname "$config")"
[[ -f "$home/demo/source/hello.txt" ]] || echo "Hello from Ternwell's demo folder." > "$home/demo/source/hello.txt"
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
            "type": "Verzeichnis",
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
        }
    ]
}
JSON
