set encoding utf8
$points << EOD
1 0.10000000000000001 SN1
2 0.12 SN2
3 0.11 SN3
4 0.10000000000000001 SN4
5 0.13 SN5
6 0.11 SN6
7 0.69999999999999996 SN7
8 0.12 SN8
EOD
$ranges << EOD
2 0.01999999999999999 SN2
3 0.009999999999999995 SN3
4 0.009999999999999995 SN4
5 0.029999999999999999 SN5
6 0.020000000000000004 SN6
7 0.58999999999999997 SN7
8 0.57999999999999996 SN8
EOD
$points_out << EOD
7 0.69999999999999996 SN7
EOD
$ranges_out << EOD
7 0.58999999999999997 SN7
EOD
if (strstrt(GPVAL_TERMINALS, ' pngcairo ') > 0) {
    set terminal pngcairo size 1000,760 noenhanced font 'sans,10'
} else {
    set terminal png size 1000,760 noenhanced
}
set output 'imr.png'
set multiplot layout 2,1 title 'peak of archive' font ',13'
set grid
set key outside right top
set offsets graph 0.03, graph 0.03, graph 0.1, graph 0.1
set lmargin at screen 0.08
set rmargin at screen 0.72
set xrange [0.5:8.5]
set title 'individuals: the latest sweep of each sensor, in time order'
set xlabel ''
set ylabel '|heading.peak_deviation_deg|'
plot $points using 1:2 with linespoints pointtype 7 pointsize 0.8 linecolor rgb '#1f77b4' title 'value', \
    $points_out using 1:2 with points pointtype 6 pointsize 2 linewidth 2 linecolor rgb '#d62728' title 'beyond the control limits', \
    $points_out using 1:2:3 with labels offset 0,1.2 textcolor rgb '#d62728' notitle, \
    0.18625000000000003 with lines linewidth 1.5 linecolor rgb '#2ca02c' title 'centre 0.18625', \
    0.66497340425531914 with lines linewidth 1.5 linecolor rgb '#d62728' title 'UCL, LCL 0.664973, -0.292473', \
    -0.29247340425531909 with lines linewidth 1.5 linecolor rgb '#d62728' notitle, \
    0.5 with lines dashtype 2 linewidth 2 linecolor rgb '#444444' title 'USL 0.5', \
    0.48 with lines dashtype 3 linewidth 1.5 linecolor rgb '#ff7f0e' title 'guard 0.02'
set title 'moving ranges'
set xlabel 'sensor, by the time of its latest sweep'
set ylabel 'moving range'
plot $ranges using 1:2 with linespoints pointtype 7 pointsize 0.8 linecolor rgb '#1f77b4' title 'moving range', \
    $ranges_out using 1:2 with points pointtype 6 pointsize 2 linewidth 2 linecolor rgb '#d62728' title 'beyond the control limits', \
    $ranges_out using 1:2:3 with labels offset 0,1.2 textcolor rgb '#d62728' notitle, \
    0.17999999999999997 with lines linewidth 1.5 linecolor rgb '#2ca02c' title 'mean 0.18', \
    0.58805999999999992 with lines linewidth 1.5 linecolor rgb '#d62728' title 'UCL 0.58806'
unset multiplot
unset output
