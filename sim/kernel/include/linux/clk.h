/* Clocks of the S3C2410 ("pclk", "hclk", "fclk", and the gated peripheral
 * clocks "timers", "adc", "spi", "uart", "i2c", "iis", ...). */
#ifndef __LINUX_CLK_H
#define __LINUX_CLK_H

#include <linux/compiler.h>

__SIMK_BEGIN_DECLS

struct device;
struct clk;

struct clk *clk_get(struct device *dev, const char *id);
void clk_put(struct clk *clk);
int clk_enable(struct clk *clk);
void clk_disable(struct clk *clk);
unsigned long clk_get_rate(struct clk *clk);
int clk_set_rate(struct clk *clk, unsigned long rate);
long clk_round_rate(struct clk *clk, unsigned long rate);
int clk_use(struct clk *clk);
void clk_unuse(struct clk *clk);

__SIMK_END_DECLS

#endif
