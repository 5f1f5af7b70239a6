# platform tests
