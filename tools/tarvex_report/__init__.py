"""Reading Tarvex leak reports (spec Part 4.3): the reader, the grouping of
leaked blocks by allocation site, the text and JSON views, and the HTML page.
The program tools/tarvex-report is its command line."""
