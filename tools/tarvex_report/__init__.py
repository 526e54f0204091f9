"""Reading Tarvex leak reports and timelines: the readers, the grouping of
blocks by allocation site, the text and JSON views, and the HTML page. The
program tools/tarvex-report is its command line."""
