# Shared by the Wine test scripts: a count of checks, each printed as PASS or FAIL.
passed=0
failed=0
check() {  # NAME STATUS
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "PASS $1"
    else
        failed=$((failed + 1))
        echo "FAIL $1"
    fi
}
