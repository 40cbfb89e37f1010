module zimrax.invalid/go_upload

go 1.19
