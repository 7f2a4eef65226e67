set encoding utf8
$passed << EOD
1796896800 0.10000000000000001 23
1796983200 -0.12 23.5
1797069600 0.11 24
1797242400 -0.13 25
1797328800 0.11 25.5
1797501600 -0.12 26.5
EOD
$failed << EOD
1797415200 -0.69999999999999996 26
EOD
$unjudged << EOD
1797156000 0.10000000000000001 24.5
EOD
if (strstrt(GPVAL_TERMINALS, ' pngcairo ') > 0) {
    set terminal pngcairo size 1000,760 noenhanced font 'sans,10'
} else {
    set terminal png size 1000,760 noenhanced
}
set output 'trend.png'
set multiplot layout 2,1 title 'peak of archive' font ',13'
set grid
set key outside right top
set offsets graph 0.03, graph 0.03, graph 0.08, graph 0.08
set ylabel 'heading.peak_deviation_deg'
set title 'over time (UTC)'
set xdata time
set timefmt '%s'
set format x "%Y-%m-%d\n%H:%M"
set xlabel ''
plot $passed using 1:2 with points pointtype 7 pointsize 0.8 linecolor rgb '#2ca02c' title 'PASS', \
    $failed using 1:2 with points pointtype 7 pointsize 0.8 linecolor rgb '#d62728' title 'FAIL', \
    $unjudged using 1:2 with points pointtype 7 pointsize 0.8 linecolor rgb '#7f7f7f' title 'no verdict', \
    0.5 with lines dashtype 2 linewidth 2 linecolor rgb '#444444' title 'max_abs 0.5', \
    0.48 with lines dashtype 3 linewidth 1.5 linecolor rgb '#ff7f0e' title 'guard 0.02', \
    -0.5 with lines dashtype 2 linewidth 2 linecolor rgb '#444444' notitle, \
    -0.48 with lines dashtype 3 linewidth 1.5 linecolor rgb '#ff7f0e' notitle
set title 'over the mean temperature of the sweep'
set xdata
set format x '%g'
set xlabel 'mean temperature (°C)'
plot $passed using 3:2 with points pointtype 7 pointsize 0.8 linecolor rgb '#2ca02c' title 'PASS', \
    $failed using 3:2 with points pointtype 7 pointsize 0.8 linecolor rgb '#d62728' title 'FAIL', \
    $unjudged using 3:2 with points pointtype 7 pointsize 0.8 linecolor rgb '#7f7f7f' title 'no verdict', \
    0.5 with lines dashtype 2 linewidth 2 linecolor rgb '#444444' title 'max_abs 0.5', \
    0.48 with lines dashtype 3 linewidth 1.5 linecolor rgb '#ff7f0e' title 'guard 0.02', \
    -0.5 with lines dashtype 2 linewidth 2 linecolor rgb '#444444' notitle, \
    -0.48 with lines dashtype 3 linewidth 1.5 linecolor rgb '#ff7f0e' notitle
unset multiplot
unset output
