passwd after=files vesk
group after=files vesk
