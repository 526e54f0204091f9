"""Reading Tarvex leak reports: the reader, the grouping of
leaked blocks by allocation site, the text and JSON views, and the HTML page.
The program tools/tarvex-report is its command line."""
