# computation tests
