# render tests
